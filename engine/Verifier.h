#pragma once

#include "engine/ScriptCache.h"
#include "engine/ScriptRuntime.h"

#include <QJSEngine>
#include <QJSValue>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QString>

class QJsonValue;
class ScriptWatchdog;

// Judges a verification script: the script yields a function that is called
// with the local and the global parameters; its truthiness is the verdict.
class Verifier
{
public:
    bool Init();
    // False with the error text in `remark` when the script fails; on success
    // `remark` keeps what the caller put there.
    bool Check(const QJsonObject& local, const QJsonObject& global, const QString& script, QString& remark);
    // The same with the observations handed to Observe as the global parameters.
    bool CheckObserved(const QJsonObject& local, const QString& script, QString& remark);
    // The same with the local parameters as JSON text, as the script process gets them.
    bool CheckObservedText(const QString& localText, const QString& script, QString& remark);
    static QString ErrorText(const QJSValue& value);
    // Compiles `script` as a check evaluates it, in an engine of its own,
    // without running any of it. False with the engine's error text (its
    // "SyntaxError: ..." as it words it) and line when it does not compile.
    static bool Compile(const QString& script, QString& error, int& line);
    // Whether the last check failed because the script could not be run to
    // a verdict (it threw, was not callable or ran too long) rather than
    // because it returned a falsy value.
    bool LastCheckErred() const { return lastCheckErred; }
    void CollectGarbage() { engine.collectGarbage(); }

    // Files one observation for CheckObserved; Clear forgets them all.
    void Observe(const QString& module, const QString& group, const QString& item, const QJsonValue& value);
    void ClearObservations() { runtime.ClearObservations(); }

    // Scripts that run longer than `limitMs` are interrupted by `watchdog`
    // and fail their check; without a watchdog or with 0 they may run for ever.
    void SetTimeLimit(ScriptWatchdog* watchdog, int limitMs);
    // All checks together may run `budgetMs` (0: no bound), `spentMs` of it
    // used already; a check that reaches the rest is interrupted, and later
    // ones fail at once. Needs the watchdog of SetTimeLimit.
    void SetJobBudget(int budgetMs, qint64 spentMs = 0);
    qint64 SpentMs() const { return spentMs; }
    static QString TimeLimitRemark(int limitMs);
    static QString BudgetRemark(int budgetMs);

    static const QString& WrapperText();

private:
    bool Judge(const QString& localStr, const QJsonObject* global, const QString& script, QString& remark);
    bool Run(const QString& localStr, const QJsonObject* global, const QString& script, QString& remark);
    bool Fail(const ScriptRuntime::Outcome& outcome, QString& remark);
    QJSValue VerifyFunction(const QString& script, ScriptRuntime::Outcome& outcome);
    // The global parameters are all observations of the job so far and grow
    // with it; their text is rebuilt only when they changed since the last
    // check (an unchanged object shares its data, so the comparison is cheap).
    const QString& GlobalText(const QJsonObject& global);

    QJSEngine engine;
    QJSValue wrapper;
    ScriptRuntime runtime;
    ScriptCache scripts; // declared after the engine, so its values go first
    QJsonObject lastGlobal;
    QString lastGlobalText;
    bool haveGlobalText = false;
    ScriptWatchdog* watchdog = nullptr;
    int timeLimitMs = 0;
    int budgetMs = 0;
    qint64 spentMs = 0;
    bool lastCheckErred = false;
};
