#include "front/AtTplMng.h"

#include "base/JsonText.h"
#include "front/RequestEnvelope.h"
#include "platform/Debugger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

AtTplMng::AtTplMng()
{
    m_step.setSingleShot(true);
    m_step.setInterval(0);
    QObject::connect(&m_step, &QTimer::timeout, &m_step, [this] { Step(); });
}

QString AtTplMng::Directory()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/Data/AutoTestTpl/");
}

void AtTplMng::Init()
{
    // Data/ exists already (the database lives there); a failure shows up
    // later as an empty template list.
    QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/Data/")).mkdir(QStringLiteral("AutoTestTpl"));
}

void AtTplMng::Read(const RequestContext& done)
{
    // A read that began before this request could miss a file changed since.
    if (m_running)
        m_next.append(done);
    else
        Start({done});
}

void AtTplMng::Start(const QList<RequestContext>& asked)
{
    m_asked = asked;
    m_running = true;
    m_files = QDir(Directory()).entryInfoList({QStringLiteral("*.json")}, QDir::Files, QDir::Unsorted);
    m_at = 0;
    m_valueText = QByteArrayLiteral("[");
    m_bytes = 0;
    // What would be read, by the sizes on disk (links followed): only regular
    // files within the size limit are.
    qint64 total = 0;
    for (const QFileInfo& file : qAsConst(m_files)) {
        if (file.isFile() && file.size() <= MaxTemplateSize)
            total += file.size();
    }
    if (total > m_maxReplyBytes) {
        KIV_LOG("AtTplMng", "AtTplMng::Read", 1) << "The templates come to " << total << " bytes, more than the reply limit of "
                                                 << m_maxReplyBytes << "; not read";
        Finish({{QStringLiteral("result"), RequestEnvelope::TooLargeText(total, m_maxReplyBytes)}});
        return;
    }
    if (total > ReadAtOnceBytes) {
        m_step.start();
        return;
    }
    while (m_at < m_files.size()) {
        if (!ReadNext())
            return;
    }
    FinishWithTemplates();
}

bool AtTplMng::ReadNext()
{
    QJsonObject templ;
    qint64 size = 0;
    if (File2JsonObj(m_files.at(m_at++), templ, &size)) {
        // As Qt writes the template object: its members sorted, compact.
        const QJsonArray content = templ.take(QStringLiteral("content")).toArray();
        if (m_valueText.size() > 1)
            m_valueText += ',';
        m_valueText += JsonText::WithMemberText(templ, QStringLiteral("content"),
                                                QJsonDocument(content).toJson(QJsonDocument::Compact));
    }
    m_bytes += size;
    // Files may have grown since they were listed.
    if (m_bytes <= m_maxReplyBytes)
        return true;
    Finish({{QStringLiteral("result"), RequestEnvelope::TooLargeText(m_bytes, m_maxReplyBytes)}});
    return false;
}

void AtTplMng::Step()
{
    if (!AnyoneWaits()) {
        Finish(QJsonObject());
        return;
    }
    if (!ReadNext())
        return;
    if (m_at < m_files.size())
        m_step.start();
    else
        FinishWithTemplates();
}

bool AtTplMng::AnyoneWaits() const
{
    for (const RequestContext& asked : m_asked) {
        if (asked.Present())
            return true;
    }
    return false;
}

void AtTplMng::FinishWithTemplates()
{
    m_valueText += ']';
    const QVector<RequestEnvelope::RawMember> raw{{QLatin1String("VALUE"), std::exchange(m_valueText, {})}};
    const QList<RequestContext> asked = std::exchange(m_asked, {});
    m_running = false;
    m_files.clear();
    QJsonObject parsed;
    for (const RequestContext& done : asked) {
        if (!done.Present())
            continue;
        if (done.rawReply) {
            done.rawReply(QJsonObject(), raw);
            continue;
        }
        // A caller that takes objects only gets the value itself.
        if (parsed.isEmpty())
            parsed.insert(QStringLiteral("VALUE"), QJsonDocument::fromJson(raw.first().text).array());
        done.reply(parsed);
    }
    if (!m_next.isEmpty() && !m_running)
        Start(std::exchange(m_next, {}));
}

void AtTplMng::Finish(const QJsonObject& answer)
{
    const QList<RequestContext> asked = std::exchange(m_asked, {});
    m_running = false;
    m_files.clear();
    m_valueText = QByteArray();
    // Nobody waits for an empty answer: its clients have gone.
    if (!answer.isEmpty()) {
        for (const RequestContext& done : asked)
            done.reply(answer);
    }
    if (!m_next.isEmpty() && !m_running)
        Start(std::exchange(m_next, {}));
}

bool AtTplMng::File2JsonObj(const QFileInfo& file, QJsonObject& out, qint64* size)
{
    // Opened without blocking and checked on the open descriptor, so that
    // what is read is what was checked, even if the entry changes meanwhile.
    const int fd = ::open(QFile::encodeName(file.absoluteFilePath()).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << "Can't Open File " << file.fileName();
        return false;
    }
    QFile input;
    input.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << file.fileName() << " is not a regular file, skipped";
        return false;
    }
    if (status.st_size > MaxTemplateSize) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1)
            << file.fileName() << " has " << qint64(status.st_size) << " bytes, more than the limit of " << MaxTemplateSize
            << ", skipped";
        return false;
    }
    // The size may have grown since fstat; never read past the limit.
    const QByteArray content = input.read(MaxTemplateSize + 1);
    if (size)
        *size = content.size();
    if (content.size() > MaxTemplateSize) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << file.fileName() << " grew past the size limit, skipped";
        return false;
    }
    return Content2JsonObj(content, file.fileName(), out);
}

bool AtTplMng::Content2JsonObj(const QByteArray& content, const QString& fileName, QJsonObject& out)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << fileName << "Parse Error: " << error.errorString();
        return false;
    }
    if (!document.isArray()) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << fileName << "Is Not A Json Array";
        return false;
    }
    out.insert(QStringLiteral("content"), document.array());
    // The name is the file name up to its first dot.
    out.insert(QStringLiteral("name"), fileName.section(QLatin1Char('.'), 0, 0));
    return true;
}
