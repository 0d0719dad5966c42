#pragma once

#include "platform/DebuggerGlobal.h"
#include "platform/FilterStream.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <string>

// One log record: opened by the constructor, filled through Dump() or
// print_r(), written out by the destructor. Records at or below the
// threshold (environment variable KIV_LOG_LEVEL, default 2) go to stderr as
// one line; an observer, when installed, sees every record whatever its level.
class KIVDEBUGGER_EXPORT Debugger
{
public:
    class KIVDEBUGGER_EXPORT SECTION
    {
    public:
        SECTION(const QString& name) : m_name(name) {}
        const QString& Name() const { return m_name; }

    private:
        QString m_name;
    };

    struct Record
    {
        QString section;
        QByteArray function;
        int line = 0;
        int level = 0;
        QString text;
    };
    using Observer = std::function<void(const Record&)>;

    Debugger(const SECTION& section, const std::string& function, int line, int level);
    ~Debugger();
    Debugger(const Debugger&) = delete;
    Debugger& operator=(const Debugger&) = delete;

    FilterStream& Dump() { return m_stream; }
    void print_r(const char* format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);

    // True when a record of this level would be printed or observed.
    static bool Enabled(int level);
    static int Threshold();
    static void SetThreshold(int level);
    // Installs the observer and returns the one it replaces.
    static Observer SetObserver(Observer observer);

private:
    SECTION m_section;
    std::string m_function;
    int m_line;
    int m_level;
    FilterStream m_stream;
};

// Opens a record, streams into it and closes it at the end of the statement.
// Nothing is built when the level is filtered out.
#define KIV_LOG(section, function, level) \
    for (bool kivLogOnce = Debugger::Enabled(level); kivLogOnce; kivLogOnce = false) \
        Debugger(Debugger::SECTION(QStringLiteral(section)), function, __LINE__, level).Dump()

