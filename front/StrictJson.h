#pragma once

#include <QByteArray>

// Tells whether a text is one JSON value as RFC 8259 writes it, whitespace
// around it allowed. Qt's parser is laxer: it takes "1.", "-.5", "1.e3",
// control characters inside strings and unknown escapes such as "\a", none
// of which a browser's JSON.parse accepts.
class StrictJson
{
public:
    // Deeper text is refused rather than walked: the check recurses.
    static constexpr int MaxDepth = 1024;

    static bool IsValue(const QByteArray& text);
};
