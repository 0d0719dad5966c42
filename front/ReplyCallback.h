#pragma once

#include <QJsonObject>

#include <functional>

// Carries the answers to one request back to whoever asked; may be called
// later, and more than once for job reports.
using ReplyCallback = std::function<void(const QJsonObject&)>;
