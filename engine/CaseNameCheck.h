#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

// Answers "check_testcase": a test case's content against the station's
// device templates before it is saved. MODULE_NAME and GROUP_NAME are looked
// up as a job looks them up (IdNameCov), and each DATA entry's INDEX among the
// items of that group, as the device takes them; a name that a job would not
// find is what turns a whole job into "Fatal Error" later.
class CaseNameCheck
{
public:
    // A device template: an entry of a template file ("GetAutoTestTemplate")
    // that holds "MODULES", as a device reports itself.
    struct Device
    {
        QString name;
        QJsonArray modules;
    };
    // Where the content is wrong: its member ("MODULE_NAME", "DATA[1].INDEX"),
    // the value found there, and what to do about it.
    struct Problem
    {
        QString field;
        QJsonValue value;
        QString message;
    };

    // The device templates among `templates` (the "VALUE" of
    // "GetAutoTestTemplate"), named after their file, with "[n]" behind
    // the name when a file holds several; sorted by name.
    static QList<Device> Devices(const QJsonArray& templates);
    // What a job on `device` would not find of `content`; empty when it
    // would find every name.
    static QList<Problem> Check(const QJsonObject& content, const Device& device);
    // The reply to `request` given the templates' answer (an object with
    // "VALUE", or the "result" that refused to read them).
    static QJsonObject Answer(const QJsonObject& request, const QJsonObject& templates);
};
