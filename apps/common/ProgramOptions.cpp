#include "apps/common/ProgramOptions.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>

#include <cstdio>
#include <limits>

ProgramOptions::ProgramOptions(const QString& program, const QString& description)
    : m_program(program)
{
    QCoreApplication::setApplicationName(program);
    QCoreApplication::setApplicationVersion(QStringLiteral("0.1"));
    m_parser.setApplicationDescription(description);
    m_parser.addHelpOption();
    m_parser.addVersionOption();
}

QCommandLineOption ProgramOptions::AddressOption()
{
    return QCommandLineOption({QStringLiteral("a"), QStringLiteral("address")},
                              QStringLiteral("Address to listen on (default 127.0.0.1)."), QStringLiteral("address"),
                              QStringLiteral("127.0.0.1"));
}

QCommandLineOption ProgramOptions::PortOption(quint16 port, const QString& remark)
{
    return QCommandLineOption({QStringLiteral("p"), QStringLiteral("port")},
                              QStringLiteral("Port to listen on; 0 picks a free one%1.").arg(remark),
                              QStringLiteral("port"), QString::number(port));
}

QCommandLineOption ProgramOptions::OriginOption(const QString& allowed, const QString& defaults)
{
    return QCommandLineOption(QStringLiteral("allow-origin"),
                              QStringLiteral("Browser origin allowed to %1 (repeatable; replaces the defaults %2). "
                                             "Clients that send no Origin header (programs) are always let in; "
                                             "\"null\" only when given here.")
                                  .arg(allowed, defaults),
                              QStringLiteral("origin"));
}

QCommandLineOption ProgramOptions::TokenOption(const QString& who)
{
    return QCommandLineOption(QStringLiteral("token"),
                              QStringLiteral("File holding a secret that %1, as \"Authorization: Bearer <token>\" "
                                             "or as ?token=<token> in the URL. Required with an --address other "
                                             "than loopback.")
                                  .arg(who),
                              QStringLiteral("file"));
}

bool ProgramOptions::ReadAddress(const QCommandLineOption& option, QHostAddress& address) const
{
    return address.setAddress(m_parser.value(option))
        || Fail(QStringLiteral("not an IP address: %1").arg(m_parser.value(option)));
}

bool ProgramOptions::ReadPort(const QCommandLineOption& option, quint16& port) const
{
    bool ok = false;
    const uint value = m_parser.value(option).toUInt(&ok);
    if (!ok || value > 65535)
        return Fail(QStringLiteral("not a port number: %1").arg(m_parser.value(option)));
    port = quint16(value);
    return true;
}

bool ProgramOptions::ReadNumber(const QCommandLineOption& option, qint64 least, qint64 most, qint64& value) const
{
    bool ok = false;
    value = m_parser.value(option).toLongLong(&ok);
    if (ok && value >= least && value <= most)
        return true;
    const QString range = most == std::numeric_limits<qint64>::max()
        ? QStringLiteral("of %1 or more").arg(least)
        : QStringLiteral("from %1 to %2").arg(least).arg(most);
    return Fail(QStringLiteral("--%1 takes a whole number %2, not \"%3\"")
                    .arg(option.names().constLast(), range, m_parser.value(option)));
}

bool ProgramOptions::ReadToken(const QCommandLineOption& option, QByteArray& token) const
{
    token.clear();
    if (!m_parser.isSet(option))
        return true;
    QFile file(m_parser.value(option));
    if (!file.open(QIODevice::ReadOnly))
        return Fail(QStringLiteral("can't read the token file %1: %2").arg(file.fileName(), file.errorString()));
    token = file.read(4096).trimmed();
    return !token.isEmpty() || Fail(QStringLiteral("the token file %1 is empty").arg(file.fileName()));
}

bool ProgramOptions::TokenGuards(const QHostAddress& address, const QByteArray& token, const QString& risk) const
{
    return address.isLoopback() || !token.isEmpty()
        || Fail(QStringLiteral("refusing to listen on %1 without --token FILE: any machine that can reach it could %2; "
                               "only loopback addresses work without one")
                    .arg(address.toString(), risk));
}

bool ProgramOptions::Fail(const QString& why) const
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(m_program), qPrintable(why));
    return false;
}

void ProgramOptions::ReadTcListLimit(int& limit)
{
    bool set = false;
    const int value = qEnvironmentVariableIntValue("KIV_TCLIST_LIMIT", &set);
    if (set && value >= 0)
        limit = value;
}
