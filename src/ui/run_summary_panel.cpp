#include "ui/run_summary_panel.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "update/settings/engine.h"
#include "ui/qt_text.h"
#include "update/run_summary.h"

using vesk::TextToTranslate;

namespace {

const wchar_t* const kHeaders[CRunSummaryPanel::kColumns] = {
    TextToTranslate(L"Unit"),  TextToTranslate(L"Serial"),   TextToTranslate(L"Before"),
    TextToTranslate(L"After"), TextToTranslate(L"Expected"), TextToTranslate(L"Verified")};

QString YesNo(bool verified) { return verified ? Tr(L"yes") : Tr(L"NO"); }

// "firmware", "booter", "language", "accessory 1" in the program's language.
QString ImageName(const std::wstring& image) {
    static const std::wstring kAccessory = L"accessory ";
    if (image.rfind(kAccessory, 0) == 0) return Tr(L"accessory") + " " + Q(image.substr(kAccessory.size()));
    if (image == L"firmware") return Tr(L"firmware");
    if (image == L"booter") return Tr(L"booter");
    if (image == L"language") return Tr(L"language");
    return Q(image);
}

}  // namespace

CRunSummaryPanel::CRunSummaryPanel(QWidget* parent) : QWidget(parent) {
    setObjectName("runSummary");
    title_ = new QLabel(Tr(L"What the run did"), this);
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    backup_ = new QLabel(this);
    backup_->setObjectName("runSummaryBackup");
    backup_->setTextFormat(Qt::PlainText);
    backup_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    list_ = new QTreeWidget(this);
    list_->setObjectName("runSummaryList");
    list_->setColumnCount(kColumns);
    QStringList headers;
    for (const wchar_t* h : kHeaders) headers << Tr(h);
    list_->setHeaderLabels(headers);
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    list_->header()->setStretchLastSection(false);
    close_ = new QPushButton(Tr(L"Close"), this);
    close_->setObjectName("runSummaryClose");
    close_->setAutoDefault(false);
    connect(close_, &QPushButton::clicked, this, &CRunSummaryPanel::closeRequested);

    auto* top = new QHBoxLayout;
    top->addWidget(title_, 1);
    top->addWidget(close_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(top);
    layout->addWidget(backup_);
    layout->addWidget(list_, 1);
}

void CRunSummaryPanel::Fill(const CUpdateProcedure::RunResult& run) {
    list_->clear();
    const vesk::update::BackupResult& b = run.backup;
    backup_->setText(b.folder.empty() ? QString() : Tr(L"Backup of the master's data: ") + Q(b.folder));
    backup_->setVisible(!b.folder.empty());
    for (const CUpdateProcedure::UnitCheck& u : run.units) {
        auto* unit = new QTreeWidgetItem(list_);
        unit->setText(kUnit, Q(vesk::update::SummaryUnitName(u)));
        unit->setText(kSerial, QString::number(u.serial));
        unit->setText(kBefore, Q(u.before));
        unit->setText(kAfter, u.found ? Q(u.after) : Tr(L"(not found)"));
        unit->setText(kExpected, u.expected.empty() ? QStringLiteral("-") : Q(u.expected));
        unit->setText(kVerified, YesNo(u.verified));
        for (const CUpdateProcedure::ImageCheck& i : u.images) {
            auto* image = new QTreeWidgetItem(unit);
            image->setText(kUnit, ImageName(i.image));
            if (vesk::update::SummaryNeedsNote(i)) {
                // Not read back: what the run did to it is all there is to say.
                image->setText(kAfter, Q(vesk::update::SummaryImageNote(i)));
            } else {
                image->setText(kBefore, Q(i.before));
                image->setText(kAfter, u.found ? Q(i.after) : Tr(L"(not found)"));
                image->setText(kExpected, Q(i.expected));
            }
            image->setText(kVerified, YesNo(i.verified));
        }
        // A unit that did not end as planned stands out.
        if (!u.verified) {
            QFont bold = unit->font(kVerified);
            bold.setBold(true);
            unit->setFont(kVerified, bold);
        }
    }
    list_->expandAll();
}
