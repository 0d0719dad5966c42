#pragma once

#include "platform/WebSocketServerGlobal.h"

#include <QTcpServer>

// The listening socket of KIVWebSocketServer. Every connection it accepts is
// a PausableSocket. Qt's server accepts on one readiness notification until
// it holds maxPendingConnections() or the kernel has none left; the owner
// takes them on a later turn of the event loop, so that one turn accepts at
// most that many however fast connections arrive.
//
// Qt listens with a backlog of 50 connections; past it the kernel drops new
// connections' SYNs and their clients wait a second or more to retry. Listen
// asks for Backlog instead (the kernel caps it at net.core.somaxconn), so a
// burst of clients gets in at once; accepting stays bounded by the batch.
class KIVWEBSOCKETSERVER_EXPORT TcpListener : public QTcpServer
{
    Q_OBJECT

public:
    static constexpr int Backlog = 1024;

    explicit TcpListener(QObject* parent = nullptr);

    bool Listen(const QHostAddress& address, quint16 port);

protected:
    void incomingConnection(qintptr descriptor) override;
};
