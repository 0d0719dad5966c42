#include "platform/TcpListener.h"

#include "platform/PausableSocket.h"

#include <sys/socket.h>
#include <unistd.h>

TcpListener::TcpListener(QObject* parent)
    : QTcpServer(parent)
{
}

bool TcpListener::Listen(const QHostAddress& address, quint16 port)
{
    if (!listen(address, port))
        return false;
    // Listening again on a listening socket only changes its backlog.
    ::listen(int(socketDescriptor()), Backlog);
    return true;
}

void TcpListener::incomingConnection(qintptr descriptor)
{
    auto* socket = new PausableSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        ::close(int(descriptor));
        return;
    }
    addPendingConnection(socket);
}
