#pragma once

#include <QString>

// The two base URLs of the remote test-management API. The host program may
// replace them before the first remote request; the library reads no file.
namespace RemoteHosts {

QString First();
QString Second();
void Set(const QString& first, const QString& second);
// Selector 1 names the first host; every other value the second.
QString ForSelector(int selector);

} // namespace RemoteHosts
