#pragma once

#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

class QCoreApplication;
class QHostAddress;

// The command line of one of the programs: Qt's parser with --help and
// --version, the options the listening programs share, and readers that
// check a value. A reader that finds a value wrong prints "<program>: <why>"
// to stderr and returns false; the program then exits with status 2.
class ProgramOptions
{
public:
    // Sets the application's name and version too.
    ProgramOptions(const QString& program, const QString& description);

    static QCommandLineOption AddressOption();
    // `remark` follows "0 picks a free one" in the help, ending with the default.
    static QCommandLineOption PortOption(quint16 port, const QString& remark);
    // `allowed` says what an allowed origin may do, `defaults` lists the defaults.
    static QCommandLineOption OriginOption(const QString& allowed, const QString& defaults);
    // `who` says who must send the secret read from the file.
    static QCommandLineOption TokenOption(const QString& who);
    // KIV_TCLIST_LIMIT from the environment, when it is set to a count:
    // scripts that run the programs set the "tclist" bound that way.
    static void ReadTcListLimit(int& limit);

    void Add(const QList<QCommandLineOption>& options) { m_parser.addOptions(options); }
    QCommandLineParser& Parser() { return m_parser; }
    const QCommandLineParser& Parser() const { return m_parser; }
    // Exits on --help, --version and unknown options, as Qt's parser does.
    void Process(const QCoreApplication& app) { m_parser.process(app); }

    bool ReadAddress(const QCommandLineOption& option, QHostAddress& address) const;
    bool ReadPort(const QCommandLineOption& option, quint16& port) const;
    bool ReadNumber(const QCommandLineOption& option, qint64 least, qint64 most, qint64& value) const;
    // The secret in the file the option names; empty when the option is not given.
    bool ReadToken(const QCommandLineOption& option, QByteArray& token) const;
    // Beyond loopback only clients that know the secret may connect; `risk`
    // says what anyone else who reaches the port could do.
    bool TokenGuards(const QHostAddress& address, const QByteArray& token, const QString& risk) const;
    // Prints the reason; always false.
    bool Fail(const QString& why) const;

private:
    QString m_program;
    QCommandLineParser m_parser;
};
