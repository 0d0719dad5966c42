#pragma once

#include <QJSValue>
#include <QString>

class QJSEngine;
class QJsonValue;

// The script-side half of the verifier, compiled once per engine:
// - guards that catch whatever a script throws, so a thrown number or string
//   fails its check instead of passing as a return value;
// - the job's observations, kept inside the engine and extended by each push,
//   and handed to each check as a fresh object whose parts are copied only
//   when the script reads them, so a check costs the same however much the
//   device has pushed.
class ScriptRuntime
{
public:
    // What a guarded evaluation or call gave.
    struct Outcome
    {
        QJSValue value;
        // The script threw `value` (or was interrupted, then `value` is the engine's error).
        bool threw = false;
    };

    // `wrapper` is the compiled verification wrapper the checks run through.
    bool Init(QJSEngine& engine, const QJSValue& wrapper);
    QString LastErrorText() const { return errorText; }

    // The script's value, evaluated as a program in the engine's global scope.
    Outcome Evaluate(const QString& script);
    // The wrapper called with the two parameter texts and `verifyFunc`.
    Outcome Call(const QString& localStr, const QString& globalStr, const QJSValue& verifyFunc);
    // The same, with the observations in place of a global parameter text.
    Outcome CallObserved(const QString& localStr, const QJSValue& verifyFunc);

    void Observe(const QString& module, const QString& group, const QString& item, const QJsonValue& value);
    void ClearObservations();
    // The observations as compact JSON text, for the debug log.
    QString ObservedText();

    // Text of a thrown value that is not an Error: JSON for objects and
    // arrays, the value's own text otherwise.
    static QString ThrownText(const QJSValue& value);

private:
    static Outcome Unpack(const QJSValue& result);

    QJSEngine* engine = nullptr;
    QJSValue evaluateFn;
    QJSValue callFn;
    QJSValue callObservedFn;
    QJSValue observeFn;
    QJSValue clearFn;
    QJSValue textFn;
    QString errorText;
};
