#pragma once

#include "engine/ScriptCache.h"

#include <QJSEngine>
#include <QJSValue>
#include <QJsonObject>
#include <QString>

// Judges a verification script: the script yields a function that is called
// with the local and the global parameters; its truthiness is the verdict.
class Verifier
{
public:
    bool Init();
    // False with the error text in `remark` when the script fails; on success
    // `remark` keeps what the caller put there.
    bool Check(const QJsonObject& local, const QJsonObject& global, const QString& script, QString& remark);
    static QString ErrorText(const QJSValue& value);
    void CollectGarbage() { engine.collectGarbage(); }

    static const QString& WrapperText();

private:
    // The global parameters are all observations of the job so far and grow
    // with it; their text is rebuilt only when they changed since the last
    // check (an unchanged object shares its data, so the comparison is cheap).
    const QString& GlobalText(const QJsonObject& global);

    QJSEngine engine;
    QJSValue wrapper;
    ScriptCache scripts; // declared after the engine, so its values go first
    QJsonObject lastGlobal;
    QString lastGlobalText;
    bool haveGlobalText = false;
};
