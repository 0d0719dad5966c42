#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>

class IdNameCov;
class TcStrategy;

// One test case ready to run: the data to set on the device, the script that
// judges the answer, and the strategies that adjust the run. Copies share the
// strategy objects.
class TcItem
{
public:
    // False when the record cannot be run; `error`, when given, then says why.
    bool Init(const QJsonObject& record, IdNameCov* cov, QString* error = nullptr);
    bool ParseStrategies(const QJsonArray& entry);

    int tcId = 0;
    QString script;
    QJsonObject caseData;
    QList<std::shared_ptr<TcStrategy>> strategies;
};
