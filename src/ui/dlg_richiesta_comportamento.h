#pragma once
// The Behaviour Request: what a data key does with the other gauges' files it
// carries when it meets such a gauge. OK takes the selected answer; closing
// the dialog any other way leaves the answer at 0.
#include <QDialog>
#include <string>

class QButtonGroup;
class QLabel;
class QPushButton;
class QRadioButton;

class CDlg_RichiestaComportamento : public QDialog {
    Q_OBJECT
public:
    explicit CDlg_RichiestaComportamento(QWidget* parent = nullptr);

    // 0, 1 or 2 after the dialog closed.
    int Behaviour() const { return behaviour_; }

    QRadioButton* Radio(int behaviour) const;
    QPushButton* OkButton() const { return ok_; }
    QLabel* Prompt() const { return prompt_label_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void OnOK();

    int behaviour_ = 0;
    std::wstring prompt_;
    QLabel* prompt_label_;
    QButtonGroup* group_;
    QPushButton* ok_;
};
