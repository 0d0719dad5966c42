#pragma once

#include "base/ReplyCallback.h"
#include "front/RequestEnvelope.h"

#include <QJsonObject>
#include <QVector>

#include <functional>
#include <memory>
#include <utility>

// What a request brings besides its JSON, filled in by whoever took it:
// where its answer goes, where the events it asked for go, and whether its
// client is still there. A caller that has only a callback gets a context
// holding just that: no events, and a client that never leaves.
struct RequestContext
{
    using RawReply = std::function<void(const QJsonObject&, const QVector<RequestEnvelope::RawMember>&)>;

    RequestContext() = default;
    // Implicit: a plain callback is a context of its own.
    RequestContext(ReplyCallback answer) : reply(std::move(answer)) {}

    // Whether the client may still take an answer.
    bool Present() const { return !alive || *alive; }

    // The answer; called once, or later as well for a job's report.
    ReplyCallback reply;
    // The answer with members written from their own JSON text; empty when
    // the receiver takes objects only.
    RawReply rawReply;
    // Events of this request (job progress); empty when nobody listens.
    EventCallback events;
    // Shared with the client's connection and false once it has gone; null
    // when nobody can tell.
    std::shared_ptr<bool> alive;
};
