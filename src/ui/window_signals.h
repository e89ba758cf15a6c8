#pragma once
// SIGINT and SIGTERM for the window (the desktop's logout sends SIGTERM):
// the handler writes the signal into a pipe that the window's thread
// watches, so the window decides what to do on its own thread. While this
// object lives the two signals no longer end the process by themselves.
#include <QObject>
#include <functional>

class QSocketNotifier;

class CWindowSignals : public QObject {
public:
    explicit CWindowSignals(std::function<void(int signal)> on_signal, QObject* parent = nullptr);
    ~CWindowSignals() override;
    CWindowSignals(const CWindowSignals&) = delete;
    CWindowSignals& operator=(const CWindowSignals&) = delete;

    bool Watching() const { return notifier_ != nullptr; }

private:
    void Drain();

    std::function<void(int)> on_signal_;
    QSocketNotifier* notifier_ = nullptr;
};
