// The window's icon and Qt's own texts in the program's language.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFileDialog>
#include <QImage>
#include <QMessageBox>
#include <QTranslator>
#include <memory>

#include "ui/window_look.h"

namespace {

TEST(WindowLook, LanguageFileNamesGiveQtsLocale) {
    const struct {
        const char* name;
        const char* locale;
    } cases[] = {
        {"Italiano", "it_IT"}, {"italiano", "it_IT"}, {"Italian", "it_IT"}, {"English", "en_US"},
        {"Deutsch", "de_DE"},  {"", ""},              {"Ital iano", ""},    {"Vesk", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(vesk::ui::QtLocaleName(c.name).toStdString(), c.locale) << c.name;
}

// In Italian the Yes/No question and the file dialog speak Italian; without
// the translator they are English again.
TEST(WindowLook, QtsOwnTextsFollowTheProgramsLanguage) {
    auto yes_text = [] {
        QMessageBox box(QMessageBox::Question, "t", "q", QMessageBox::Yes | QMessageBox::No);
        return box.button(QMessageBox::Yes)->text();
    };
    auto look_in = [] {
        QFileDialog dialog;
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        return dialog.labelText(QFileDialog::LookIn);
    };
    ASSERT_EQ(yes_text(), "&Yes");
    EXPECT_EQ(vesk::ui::LoadQtTranslations("English"), nullptr) << "English needs none";
    std::unique_ptr<QTranslator> italian(vesk::ui::LoadQtTranslations("Italiano"));
    ASSERT_NE(italian, nullptr) << "qtbase_it.qm missing: qt6-translations-l10n (scripts/install-deps.sh)";
    EXPECT_EQ(yes_text(), QString::fromUtf8("&Sì"));
    EXPECT_EQ(look_in(), QString::fromUtf8("Cerca in:"));
    italian.reset();
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(yes_text(), "&Yes");
}

TEST(WindowLook, ProgramIconIsDrawn) {
    const QIcon icon = vesk::ui::ProgramIcon();
    ASSERT_FALSE(icon.isNull());
    const QImage image = icon.pixmap(48, 48).toImage();
    ASSERT_FALSE(image.isNull());
    int opaque = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) opaque += qAlpha(image.pixel(x, y)) > 0;
    EXPECT_GT(opaque, 48 * 48 / 4) << "the drawing covers the icon";
}

}  // namespace
