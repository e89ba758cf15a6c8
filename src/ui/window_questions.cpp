#include "ui/window_questions.h"

#include <QFileDialog>
#include <QMessageBox>

#include "ui/dlg_richiesta_comportamento.h"
#include "ui/qt_text.h"

void CQtWindowQuestions::Info(QWidget* parent, const std::wstring& text, const std::wstring& caption) {
    QMessageBox::information(parent, Q(caption), Q(text));
}

void CQtWindowQuestions::Critical(QWidget* parent, const std::wstring& text, const std::wstring& caption) {
    QMessageBox::critical(parent, Q(caption), Q(text));
}

bool CQtWindowQuestions::YesNo(QWidget* parent, const std::wstring& text, const std::wstring& caption) {
    return QMessageBox::question(parent, Q(caption), Q(text), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

int CQtWindowQuestions::Behaviour(QWidget* parent) {
    CDlg_RichiestaComportamento dialog(parent);
    dialog.exec();  // the modal result is not used
    return dialog.Behaviour();
}

std::wstring CQtWindowQuestions::SaveFile(QWidget* parent) {
    // No filter, folder or default name.
    return W(QFileDialog::getSaveFileName(parent));
}

std::wstring CQtWindowQuestions::PickFolder(QWidget* parent, const std::wstring& current) {
    return W(QFileDialog::getExistingDirectory(parent, QString(), Q(current)));
}
