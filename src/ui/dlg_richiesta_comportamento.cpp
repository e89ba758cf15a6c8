#include "ui/dlg_richiesta_comportamento.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "update/settings/engine.h"
#include "ui/qt_text.h"

namespace {

const wchar_t* const kCaptions[] = {
    vesk::TextToTranslate(L"Update other gauges (once connected) only if their firmware is older"),
    vesk::TextToTranslate(L"Always update other gauges (once connected)"),
    vesk::TextToTranslate(L"Never update other gauges (whenever connected)"),
};

}  // namespace

CDlg_RichiestaComportamento::CDlg_RichiestaComportamento(QWidget* parent)
    : QDialog(parent),
      // Nothing fills the prompt member: the template's own prompt is shown.
      prompt_(vesk::TextToTranslate(L"Select here what you want your DataKey to do")) {
    setWindowTitle(Tr(L"Behaviour Request"));
    setObjectName("behaviourRequest");
    auto* layout = new QVBoxLayout(this);
    prompt_label_ = new QLabel(Tr(prompt_), this);
    prompt_label_->setObjectName("prompt");
    prompt_label_->setWordWrap(true);
    layout->addWidget(prompt_label_);
    group_ = new QButtonGroup(this);
    for (int i = 0; i < 3; ++i) {
        auto* radio = new QRadioButton(Tr(kCaptions[i]), this);
        radio->setObjectName(QString("behaviour%1").arg(i));
        group_->addButton(radio, i);
        layout->addWidget(radio);
    }
    ok_ = new QPushButton(Tr(L"OK"), this);
    ok_->setObjectName("ok");
    ok_->setDefault(true);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(ok_, QDialogButtonBox::AcceptRole);
    layout->addWidget(buttons);
    connect(ok_, &QPushButton::clicked, this, &CDlg_RichiestaComportamento::OnOK);
    const QSize units = DialogUnits(this, 316, 135);
    resize(units);
}

QRadioButton* CDlg_RichiestaComportamento::Radio(int behaviour) const {
    return qobject_cast<QRadioButton*>(group_->button(behaviour));
}

void CDlg_RichiestaComportamento::showEvent(QShowEvent* event) {
    behaviour_ = 0;
    Radio(0)->setChecked(true);
    QDialog::showEvent(event);
}

void CDlg_RichiestaComportamento::OnOK() {
    const int checked = group_->checkedId();
    behaviour_ = checked >= 0 ? checked : 0;
    accept();
}
