#include "remote/StationBeat.h"

#include "platform/Debugger.h"
#include "remote/RemoteSettings.h"
#include "remote/WebFileGetter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QPointer>

StationBeat::StationBeat(const StationInfo& station, WebFileGetter& transport, const RemoteSettings& settings,
                         const int& selector, StateOf stateOf)
    : station(station)
    , transport(transport)
    , settings(settings)
    , selector(selector)
    , stateOf(std::move(stateOf))
{
    // Runs only while no beat is out: a server slower than the period gets
    // no second beat meanwhile.
    m_timer.setSingleShot(true);
    m_timer.setInterval(DefaultPeriodMs);
    connect(&m_timer, &QTimer::timeout, this, &StationBeat::Send);
}

void StationBeat::Start()
{
    if (m_started)
        return;
    m_started = true;
    KIV_LOG("StationBeat", "StationBeat::Start", 2) << "Station " << station.name << " with " << station.devices.size()
                                                    << " device(s) checks in with the remote server in use";
    // The station shows on the server as soon as the host runs.
    QTimer::singleShot(0, this, &StationBeat::Now);
}

void StationBeat::Now()
{
    if (!m_started)
        return;
    if (m_inFlight) {
        m_again = true;
        return;
    }
    Send();
}

void StationBeat::Send()
{
    m_again = false;
    QJsonArray devices;
    for (const StationInfo::Device& device : station.devices) {
        const DeviceState state = stateOf(device.url);
        QJsonObject entry{{QStringLiteral("url"), device.url},
                          {QStringLiteral("tags"), QJsonArray::fromStringList(device.tags)},
                          {QStringLiteral("state"), state.busy ? QStringLiteral("busy") : QStringLiteral("free")}};
        // The server takes a "jobid" from 1 only; a client may have named its job otherwise.
        const double jobId = state.jobId.toDouble();
        if (state.busy && jobId >= 1 && jobId <= 2147483647 && jobId == qint64(jobId))
            entry.insert(QStringLiteral("jobid"), qint64(jobId));
        devices.append(entry);
    }
    const QJsonObject beat{{QStringLiteral("cmd"), QStringLiteral("station_beat")},
                           {QStringLiteral("station"), station.name},
                           {QStringLiteral("version"), station.version},
                           {QStringLiteral("devices"), devices}};
    m_inFlight = true;
    m_timer.stop();
    QPointer<StationBeat> self(this);
    const QString url = settings.ForSelector(selector);
    // No owner: the beat belongs to no client.
    transport.wGet(url, QJsonDocument(beat).toJson(QJsonDocument::Compact), [self, url](int code, QNetworkReply* reply) {
        if (!self || (code != WebFileGetter::Finished && code != WebFileGetter::NetworkError
                      && code != WebFileGetter::TooLarge))
            return;
        if (code != WebFileGetter::Finished)
            return self->OnAnswer(url, QStringLiteral("Network Error: ") + WebFileGetter::ErrorText(reply), 0);
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(WebFileGetter::Body(reply), &error);
        if (error.error != QJsonParseError::NoError)
            return self->OnAnswer(url, QStringLiteral("Json Parse Error: ") + error.errorString(), 0);
        const QJsonObject answer = document.object();
        const QJsonValue result = answer.value(QStringLiteral("result"));
        if (result != QLatin1String("ok")) {
            return self->OnAnswer(url, result.isString() ? result.toString()
                                                    : QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact)),
                                  0);
        }
        // A lease that is not a positive number keeps the period as it is.
        const double lease = answer.value(QStringLiteral("lease_ms")).toDouble();
        self->OnAnswer(url, QString(), lease >= 1 && lease <= 1e9 ? int(lease) : 0);
    });
}

void StationBeat::OnAnswer(const QString& url, const QString& failure, int leaseMs)
{
    m_inFlight = false;
    if (failure != m_failure) {
        if (failure.isEmpty())
            KIV_LOG("StationBeat", "StationBeat::OnAnswer", 2) << "Station " << station.name << " checks in with " << WebFileGetter::Logged(url) << " again";
        else
            KIV_LOG("StationBeat", "StationBeat::OnAnswer", 1) << "Station " << station.name << " can't check in with " << WebFileGetter::Logged(url) << ": "
                                                               << failure;
        m_failure = failure;
    }
    if (leaseMs > 0)
        m_timer.setInterval(qBound(MinPeriodMs, leaseMs / 3, MaxPeriodMs));
    if (m_again)
        return Send();
    m_timer.start();
}
