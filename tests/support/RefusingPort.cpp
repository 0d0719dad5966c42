#include "tests/support/RefusingPort.h"

#include <QHostAddress>

RefusingPort::RefusingPort()
{
    m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0);
}

QString RefusingPort::Url() const
{
    return QStringLiteral("ws://127.0.0.1:%1").arg(Port());
}
