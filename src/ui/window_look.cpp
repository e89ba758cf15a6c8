#include "ui/window_look.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>
#include <QTranslator>

#include "log/evt_log.h"

// Resources of a static library are registered by hand, from the global namespace.
static void InitWindowResources() { Q_INIT_RESOURCE(window); }

namespace vesk::ui {

QIcon ProgramIcon() {
    InitWindowResources();
    QSvgRenderer svg(QStringLiteral(":/vesk/com.vesk.firmup.svg"));
    QIcon icon;
    if (!svg.isValid()) {
        VLOG_ERROR("vesk::ui::ProgramIcon", "%s", "the program's icon cannot be drawn");
        return icon;
    }
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        svg.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QString QtLocaleName(const std::string& language_name) {
    const QString name = QString::fromStdString(language_name);
    if (name.isEmpty()) return {};
    for (int l = QLocale::AnyLanguage + 1; l <= QLocale::LastLanguage; ++l) {
        const auto language = QLocale::Language(l);
        const QLocale locale(language);
        if (locale.language() != language) continue;
        if (QLocale::languageToString(language).compare(name, Qt::CaseInsensitive) == 0 ||
            locale.nativeLanguageName().compare(name, Qt::CaseInsensitive) == 0)
            return locale.name();
    }
    return {};
}

QTranslator* LoadQtTranslations(const std::string& language_name) {
    const QString locale = QtLocaleName(language_name);
    if (locale.isEmpty() || QLocale(locale).language() == QLocale::English) return nullptr;
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto* translator = new QTranslator(QCoreApplication::instance());
    // "qtbase_it_IT" falls back to "qtbase_it".
    if (!translator->load(QStringLiteral("qtbase_") + locale, folder)) {
        VLOG_ERROR("vesk::ui::LoadQtTranslations", "No Qt translations for %s (%s) in %s", language_name.c_str(),
                   locale.toStdString().c_str(), folder.toStdString().c_str());
        delete translator;
        return nullptr;
    }
    QCoreApplication::installTranslator(translator);
    QLocale::setDefault(QLocale(locale));
    return translator;
}

}  // namespace vesk::ui
