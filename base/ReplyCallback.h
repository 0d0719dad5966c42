#pragma once

#include <QJsonObject>

#include <functional>

// Carries the answers to one request back to whoever asked; may be called
// later, and more than once for job reports.
using ReplyCallback = std::function<void(const QJsonObject&)>;

// Carries events that a request asked for (job progress) to the same client,
// beside its replies. Empty when nobody listens.
using EventCallback = std::function<void(const QJsonObject&)>;
