#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a clean QCoreApplication::quit(). The signal
// handler only writes to a pipe; the quit happens on the event loop.
class SignalQuit : public QObject
{
    Q_OBJECT

public:
    explicit SignalQuit(QObject* parent = nullptr);
    ~SignalQuit() override;

    // Number of the last signal that asked us to quit, 0 if none.
    static int LastSignal();

Q_SIGNALS:
    void Received(int signal);

private:
    QSocketNotifier* m_notifier = nullptr;
};
