#pragma once

#include "platform/WebSocketServerGlobal.h"

#include <QByteArray>
#include <QStringList>

// Decides, from the raw HTTP upgrade request, whether a client may open a
// WebSocket. Browsers attach the page's Origin to every handshake, so any web
// page could otherwise drive the service from the user's browser; programs
// send no Origin and are let in. Beyond loopback a shared secret is needed too.
class KIVWEBSOCKETSERVER_EXPORT HandshakeGate
{
public:
    HandshakeGate();

    // Origins accepted from browsers, compared without regard to case, for
    // example "http://localhost:8080". "null" is accepted only when listed.
    void SetAllowedOrigins(const QStringList& origins);
    const QStringList& AllowedOrigins() const { return m_origins; }
    // A non-empty token must come as "Authorization: Bearer <token>" or as
    // the "token" query parameter of the request URL.
    void SetToken(const QByteArray& token) { m_token = token; }
    bool HasToken() const { return !m_token.isEmpty(); }

    // Checks a complete request head (up to and including the blank line).
    // True to let it through; false with the reason for the log and the
    // refusal's body.
    bool Admit(const QByteArray& head, QString& reason) const;

    static QStringList DefaultOrigins();
    // Equal contents, in time that does not depend on where they differ.
    static bool SameSecret(const QByteArray& a, const QByteArray& b);
    // The token a request head carries ("Authorization: Bearer" first, else
    // ?token= in its target); empty when it carries none.
    static QByteArray OfferedToken(const QByteArray& head);

private:
    QStringList m_origins;
    QByteArray m_token;
};
