#pragma once

#include "local/CaseVerdict.h"

#include <QJsonObject>
#include <QMetaType>
#include <QString>

// Outcome of one test case.
struct TcResult
{
    int id = 0;
    bool result = false;
    QString remark;
    // Beyond the report's form: "pass", "fail" or "error" (the case could
    // not be judged), and how long it took without its post-delay.
    QString status;
    int ms = -1;

    QJsonObject ToJson() const;
    CaseVerdict Verdict() const { return CaseVerdict::Of(status, remark, ms); }
};

Q_DECLARE_METATYPE(TcResult)
