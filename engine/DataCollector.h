#pragma once

#include <QJsonObject>
#include <QJsonValue>

#include <functional>

class IdNameCov;

// One observation pushed by the device, still in device numbers.
struct ObseEntry
{
    int moduleSeq = 0;
    int groupSeq = 0;
    int index = 0;
    QJsonValue value;
};

// Files the observation data that the device pushes during a job under
// module, group and item names, every value of an item in arrival order.
class DataCollector
{
public:
    // Handler of the device's "PushObseData" event.
    void Add(const QJsonObject& push);
    const QJsonObject& Data() const { return data; }
    void Clear();
    void SetConverter(IdNameCov* converter) { cov = converter; }

    bool collecting = false;
    // Told of every value filed, after it is in Data(): the verifier keeps its
    // own copy of the observations inside the script engine.
    std::function<void(const QString& module, const QString& group, const QString& item, const QJsonValue& value)>
        onFiled;

private:
    void Merge(const QString& module, const QString& group, const QString& item, const QJsonValue& value);

    QJsonObject data;
    IdNameCov* cov = nullptr;
};
