#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QUrl>
#include <QWebSocket>

// A WebSocket client for tests that keeps every text reply it receives.
class TestClient : public QObject
{
    Q_OBJECT

public:
    TestClient();

    bool Connect(const QUrl& url);
    void Send(const QString& text) { m_socket.sendTextMessage(text); }
    void Send(const QJsonObject& request);
    // Waits until `count` replies have arrived in all (5 s by default).
    bool WaitReplies(int count, int timeoutMs = 5000);
    // Sends and waits for the next reply; returns it parsed, or {} on time-out.
    QJsonObject Request(const QJsonObject& request, int timeoutMs = 5000);
    QJsonObject RequestText(const QString& text, int timeoutMs = 5000);

    const QList<QString>& Replies() const { return m_replies; }
    QJsonObject Reply(int index) const;
    QWebSocket& Socket() { return m_socket; }

private:
    QWebSocket m_socket;
    QList<QString> m_replies;
};
