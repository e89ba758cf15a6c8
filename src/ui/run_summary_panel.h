#pragma once
// The summary shown at the end of a run: each unit of the plan the run
// started from, with each image's version before, after and whether it
// ended as planned, as the terminal tool prints it. It stays until the user
// closes it (or acts otherwise in the window).
#include <QWidget>

#include "update/update_procedure.h"

class QLabel;
class QPushButton;
class QTreeWidget;

class CRunSummaryPanel : public QWidget {
    Q_OBJECT
public:
    enum Column { kUnit, kSerial, kBefore, kAfter, kExpected, kVerified, kColumns };

    explicit CRunSummaryPanel(QWidget* parent = nullptr);

    // The units of run, one row each with a row per image under it.
    void Fill(const CUpdateProcedure::RunResult& run);

    QTreeWidget* List() const { return list_; }
    QLabel* Backup() const { return backup_; }
    QPushButton* CloseButton() const { return close_; }

signals:
    void closeRequested();

private:
    QLabel* title_ = nullptr;
    QLabel* backup_ = nullptr;
    QTreeWidget* list_ = nullptr;
    QPushButton* close_ = nullptr;
};
