#pragma once

#include "front/RequestContext.h"

#include <QFileInfoList>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QTimer>

class QFileInfo;

// Serves the test templates that operators drop into Data/AutoTestTpl/.
// Nothing is cached: every request reads the directory anew.
//
// The answer is bounded like any reply: when the files together hold more
// than the reply limit, the request is refused from their sizes, before any
// is read. Templates beyond ReadAtOnceBytes are read and parsed one file per
// turn of the event loop, so that other clients are served in between; the
// requests that come meanwhile share the read that follows.
class AtTplMng
{
public:
    // A template file larger than this is skipped with a log line.
    static constexpr qint64 MaxTemplateSize = 16 * 1024 * 1024;
    // Templates that hold at most this much are read in the request's turn.
    static constexpr qint64 ReadAtOnceBytes = 1024 * 1024;

    AtTplMng();

    void Init();
    // Answers `done` with {"VALUE": [templates]}, or with a "result" that
    // says the templates are too large. May answer before it returns.
    void Read(const RequestContext& done);
    // Templates that come to more are refused rather than read.
    void SetMaxReplyBytes(qint64 bytes) { m_maxReplyBytes = bytes; }
    // Reads one file: only a regular file (or a link to one) of at most
    // MaxTemplateSize bytes. A FIFO or a device would block the service or
    // feed it without end. `size` gets the bytes read.
    static bool File2JsonObj(const QFileInfo& file, QJsonObject& out, qint64* size = nullptr);
    // The template of one file's content, named after `fileName`.
    static bool Content2JsonObj(const QByteArray& content, const QString& fileName, QJsonObject& out);
    static QString Directory();

private:
    void Start(const QList<RequestContext>& asked);
    // Reads the next file; false once the templates pass the reply limit.
    bool ReadNext();
    void Step();
    void Finish(const QJsonObject& answer);
    // Answers with the templates read.
    void FinishWithTemplates();
    bool AnyoneWaits() const;

    // The requests the running read answers, and those that came after it began.
    qint64 m_maxReplyBytes = RequestEnvelope::DefaultMaxReplySize;
    QList<RequestContext> m_asked;
    QList<RequestContext> m_next;
    QFileInfoList m_files;
    int m_at = 0;
    // The "VALUE" array as reply text, a template appended as each is read:
    // a parsed template is held only while it is written, and the reply is
    // made of this text without building it anew (RequestEnvelope::RawMember).
    QByteArray m_valueText;
    qint64 m_bytes = 0;
    bool m_running = false;
    QTimer m_step;
};
