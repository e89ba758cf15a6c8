// The Behaviour Request: OK takes the selected answer, every other way out gives 0.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "ui/dlg_richiesta_comportamento.h"
#include "ui/window_questions.h"

namespace {

using Dlg = CDlg_RichiestaComportamento;

struct Case {
    const char* name;
    int radio;
    std::function<void(Dlg&)> leave;
    int expected;
};

const Case kCases[] = {
    {"OK with the first", 0, [](Dlg& d) { QTest::mouseClick(d.OkButton(), Qt::LeftButton); }, 0},
    {"OK with always", 1, [](Dlg& d) { QTest::mouseClick(d.OkButton(), Qt::LeftButton); }, 1},
    {"OK with never", 2, [](Dlg& d) { QTest::mouseClick(d.OkButton(), Qt::LeftButton); }, 2},
    {"close box", 2, [](Dlg& d) { d.close(); }, 0},
    {"Escape", 1, [](Dlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }, 0},
};

TEST(BehaviourRequest, TemplateTexts) {
    Dlg d;
    d.show();
    EXPECT_EQ(d.windowTitle(), "Behaviour Request");
    EXPECT_EQ(d.Prompt()->text(), "Select here what you want your DataKey to do");
    EXPECT_EQ(d.Radio(0)->text(), "Update other gauges (once connected) only if their firmware is older");
    EXPECT_EQ(d.Radio(1)->text(), "Always update other gauges (once connected)");
    EXPECT_EQ(d.Radio(2)->text(), "Never update other gauges (whenever connected)");
    EXPECT_EQ(d.OkButton()->text(), "OK");
    EXPECT_TRUE(d.Radio(0)->isChecked()) << "the first answer is selected on opening";
}

TEST(BehaviourRequest, AnswerByWayOut) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Dlg d;
        d.show();
        QTest::mouseClick(d.Radio(c.radio), Qt::LeftButton);
        ASSERT_TRUE(d.Radio(c.radio)->isChecked());
        c.leave(d);
        EXPECT_FALSE(d.isVisible());
        EXPECT_EQ(d.Behaviour(), c.expected);
    }
}

TEST(BehaviourRequest, OpeningAgainStartsFromTheFirstAnswer) {
    Dlg d;
    d.show();
    QTest::mouseClick(d.Radio(2), Qt::LeftButton);
    QTest::mouseClick(d.OkButton(), Qt::LeftButton);
    ASSERT_EQ(d.Behaviour(), 2);
    d.show();
    EXPECT_EQ(d.Behaviour(), 0);
    EXPECT_TRUE(d.Radio(0)->isChecked());
}

// The window's own question: the modal dialog, answered from inside its loop.
TEST(BehaviourRequest, WindowQuestionRunsTheDialogModally) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        QTimer::singleShot(0, [&] {
            auto* d = qobject_cast<Dlg*>(QApplication::activeModalWidget());
            ASSERT_NE(d, nullptr);
            QTest::mouseClick(d->Radio(c.radio), Qt::LeftButton);
            c.leave(*d);
        });
        CQtWindowQuestions questions;
        EXPECT_EQ(questions.Behaviour(nullptr), c.expected);
    }
}

TEST(WindowQuestions, YesNoBoxAnswersNoAndYes) {
    for (const bool yes : {false, true}) {
        QString text;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            text = box->text();
            QTest::mouseClick(box->button(yes ? QMessageBox::Yes : QMessageBox::No), Qt::LeftButton);
        });
        CQtWindowQuestions questions;
        EXPECT_EQ(questions.YesNo(nullptr, L"slave n. 3 is in booter: are you sure you want to exit?", L"t"), yes);
        EXPECT_EQ(text, "slave n. 3 is in booter: are you sure you want to exit?");
    }
}

}  // namespace
