#pragma once

#include <QCache>
#include <QJSValue>
#include <QString>

// Keeps the compiled functions of verification scripts whose evaluation can
// do nothing but create an anonymous function, so that a job compiles such a
// script once rather than on every check. Any other script is evaluated
// every time, as its top-level code may have effects that must repeat.
class ScriptCache
{
public:
    // The kept function of the script, or null.
    const QJSValue* Find(const QString& script) const { return functions.object(script); }
    // Keeps `function`, the value of `script`, when the script is reusable.
    void Keep(const QString& script, const QJSValue& function);

    // True when the whole text is one parenthesised anonymous function
    // expression whose body cannot reach the function object itself, so a
    // fresh evaluation and a kept function behave the same. Whatever this
    // cannot read for certain (regular expressions, template strings,
    // escapes in names) counts as not reusable.
    static bool IsReusable(const QString& script);

private:
    // Distinct scripts of one job are few in practice; the bound keeps a job
    // of many distinct scripts from holding all their compiled code.
    QCache<QString, QJSValue> functions{256};
};
