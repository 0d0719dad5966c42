#pragma once

#include <QString>

// The client's lines on stderr. On a terminal the bar is redrawn in place, and
// a line printed meanwhile goes above it and stays; elsewhere every state of
// the bar is a line of its own, as in a CI log.
class ProgressBar
{
public:
    explicit ProgressBar(bool inPlace);

    // Draws the bar as `text`.
    void Show(const QString& text);
    // A line that stays on screen, above the bar.
    void Print(const QString& line);
    // Leaves the bar as it is drawn; what follows starts on a new line.
    void Close();

private:
    bool inPlace = false;
    bool open = false;
    QString current;
};
