#include "platform/Debugger.h"

#include <QTime>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// Longest text written to stderr for one record; observers get it whole.
constexpr int kMaxPrintedText = 4096;

int thresholdFromEnvironment()
{
    bool ok = false;
    const int level = qEnvironmentVariableIntValue("KIV_LOG_LEVEL", &ok);
    return ok ? level : 2;
}

int& threshold()
{
    static int value = thresholdFromEnvironment();
    return value;
}

Debugger::Observer& observer()
{
    static Debugger::Observer value;
    return value;
}

} // namespace

Debugger::Debugger(const SECTION& section, const std::string& function, int line, int level)
    : m_section(section)
    , m_function(function)
    , m_line(line)
    , m_level(level)
    , m_stream(Enabled(level))
{
}

Debugger::~Debugger()
{
    if (!m_stream.IsEnabled())
        return;
    if (observer()) {
        Record record;
        record.section = m_section.Name();
        record.function = QByteArray::fromStdString(m_function);
        record.line = m_line;
        record.level = m_level;
        record.text = m_stream.Text();
        observer()(record);
    }
    if (m_level > threshold())
        return;
    QString text = m_stream.Text();
    if (text.size() > kMaxPrintedText)
        text = text.left(kMaxPrintedText) + QStringLiteral("... (%1 characters)").arg(m_stream.Text().size());
    const QByteArray line = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")).toUtf8()
        + " [" + QByteArray::number(m_level) + "] " + m_section.Name().toUtf8() + ' '
        + QByteArray::fromStdString(m_function) + ": " + text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

void Debugger::print_r(const char* format, ...)
{
    if (!m_stream.IsEnabled())
        return;
    va_list args;
    va_start(args, format);
    m_stream.Append(QString::vasprintf(format, args));
    va_end(args);
}

bool Debugger::Enabled(int level)
{
    return level <= threshold() || bool(observer());
}

int Debugger::Threshold()
{
    return threshold();
}

void Debugger::SetThreshold(int level)
{
    threshold() = level;
}

Debugger::Observer Debugger::SetObserver(Observer newObserver)
{
    Observer previous = std::move(observer());
    observer() = std::move(newObserver);
    return previous;
}
