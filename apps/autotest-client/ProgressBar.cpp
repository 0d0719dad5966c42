#include "apps/autotest-client/ProgressBar.h"

#include <cstdio>

ProgressBar::ProgressBar(bool inPlace)
    : inPlace(inPlace)
{
}

void ProgressBar::Show(const QString& text)
{
    if (inPlace) {
        std::fprintf(stderr, "\r%s\x1b[K", qPrintable(text));
        open = true;
        current = text;
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    }
    std::fflush(stderr);
}

void ProgressBar::Print(const QString& line)
{
    if (open)
        std::fprintf(stderr, "\r\x1b[K%s\n%s\x1b[K", qPrintable(line), qPrintable(current));
    else
        std::fprintf(stderr, "%s\n", qPrintable(line));
    std::fflush(stderr);
}

void ProgressBar::Close()
{
    if (open) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
    open = false;
}
