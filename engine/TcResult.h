#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QString>

// Outcome of one test case.
struct TcResult
{
    int id = 0;
    bool result = false;
    QString remark;

    QJsonObject ToJson() const;
};

Q_DECLARE_METATYPE(TcResult)
