#include "tests/support/TestClient.h"

#include "tests/support/JsonTools.h"

#include <QSignalSpy>
#include <QtTest>

TestClient::TestClient()
{
    m_socket.setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
    connect(&m_socket, &QWebSocket::textMessageReceived, this, [this](const QString& text) { m_replies.append(text); });
}

bool TestClient::Connect(const QUrl& url)
{
    // A refused handshake ends the wait at once, so that a caller may try again.
    QSignalSpy connected(&m_socket, &QWebSocket::connected);
    QSignalSpy failed(&m_socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error));
    m_socket.open(url);
    QTest::qWaitFor([&] { return !connected.isEmpty() || !failed.isEmpty(); }, 10000);
    return !connected.isEmpty();
}

bool TestClient::WaitReplies(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_replies.size() < count && !deadline.hasExpired())
        QTest::qWait(5);
    return m_replies.size() >= count;
}

void TestClient::Send(const QJsonObject& request)
{
    Send(compact(request));
}

QJsonObject TestClient::Request(const QJsonObject& request, int timeoutMs)
{
    return RequestText(compact(request), timeoutMs);
}

QJsonObject TestClient::RequestText(const QString& text, int timeoutMs)
{
    const int before = m_replies.size();
    Send(text);
    return WaitReplies(before + 1, timeoutMs) ? Reply(before) : QJsonObject();
}

QJsonObject TestClient::Reply(int index) const
{
    return QJsonDocument::fromJson(m_replies.value(index).toUtf8()).object();
}
