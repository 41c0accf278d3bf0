#pragma once
// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the user-interface
// thread (a self-pipe watched by a socket notifier), so a logout or a
// service stop closes the console the same way File, Exit does.
#include <QObject>

class QSocketNotifier;

class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;


signals:
    void Received(int signalNumber);

private:
    void OnReadable();
    QSocketNotifier* notifier_ = nullptr;
};
