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
    QSignalSpy connected(&m_socket, &QWebSocket::connected);
    m_socket.open(url);
    return connected.count() > 0 || connected.wait(10000);
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
