#pragma once

#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QVector>

// The device template the emulated devices describe themselves with: the
// object answered to "EnterAutoTest" 1, plus what the emulator needs from it
// to act as the device (the indexes of each case group, and the observation
// items it pushes).
//
// The template is passed on as written, so that odd templates can be used to
// exercise the service; only the emulator's own keys on observation items,
// "BASE" and "STEP", are taken out. Lookups follow the service's rules:
// elements that are not objects are skipped, a missing number reads as 0, and
// the first matching element wins.
class DeviceTemplate
{
public:
    struct ObseItem
    {
        int groupSeq = 0;
        int index = 0;
        double base = 0;
        double step = 1;
    };

    // All observation items of one module, in template order.
    struct ObseModule
    {
        int moduleSeq = 0;
        QVector<ObseItem> items;
    };

    bool Load(const QString& path);
    bool Parse(const QByteArray& json);
    QString LastErrorText() const { return m_error; }

    // The template as a device answers it.
    const QJsonObject& Answer() const { return m_answer; }
    int ModuleCount() const;

    // Indexes of the case group (moduleSeq, groupSeq); false when the
    // template has no such group.
    bool CaseGroupIndexes(int moduleSeq, int groupSeq, QSet<int>& indexes, QString& error) const;

    const QVector<ObseModule>& ObseModules() const { return m_obseModules; }

private:
    QJsonObject m_answer;
    QVector<ObseModule> m_obseModules;
    QString m_error;
};
