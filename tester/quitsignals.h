#pragma once

#include <QObject>

#include <memory>

class QSocketNotifier;

// Makes SIGTERM, SIGINT and SIGHUP end the program the normal way: the event loop quits, and
// everything is torn down in order, the open port putting back its settings. The signal
// handler only writes a byte to a pipe; the event loop reads it (Qt's "Calling Qt Functions
// From Unix Signal Handlers"). One instance, made after the application object and living as
// long as its event loop runs; its destructor gives the signals their previous actions back.
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

private:
    void quit();

    int m_readFd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
