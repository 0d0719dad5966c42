#include "remote/RemoteHosts.h"

#include "front/KIVAutoTestConfig.h"
#include "remote/WebFileGetter.h"

#include <QStringList>

namespace {

QString& first()
{
    static QString url = QStringLiteral("http://127.0.0.1:8080/api");
    return url;
}

QString& second()
{
    static QString url = QStringLiteral("http://localhost:8080/api");
    return url;
}

} // namespace

namespace RemoteHosts {

QString First()
{
    return first();
}

QString Second()
{
    return second();
}

void Set(const QString& firstUrl, const QString& secondUrl)
{
    first() = firstUrl;
    second() = secondUrl;
}

QString ForSelector(int selector)
{
    return selector == 1 ? first() : second();
}

} // namespace RemoteHosts

void KIVAutoTestSetRemoteHosts(const QString& firstUrl, const QString& secondUrl)
{
    RemoteHosts::Set(firstUrl, secondUrl);
}

QStringList KIVAutoTestRemoteHosts()
{
    return {RemoteHosts::First(), RemoteHosts::Second()};
}

void KIVAutoTestSetRemoteTimeout(int ms)
{
    WebFileGetter::SetTimeout(ms);
}

void KIVAutoTestSetMaxRemoteReplySize(qint64 bytes)
{
    WebFileGetter::SetMaxReplySize(bytes);
}
