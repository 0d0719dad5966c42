#pragma once

#include <QStringList>
#include <QVariant>

// The service keeps its database below the application directory. A test that
// needs a database of its own runs from a copy of itself in a fresh temporary
// directory: RunInPrivateAppDir returns -1 in that copy (go on and run the
// tests) and the copy's exit code in the original.
int RunInPrivateAppDir(int argc, char* argv[]);

// Column `column` of every row `sql` selects from the service's database (with
// `?` bound to `value` when given), as text.
QStringList DatabaseRows(const QString& sql, const QVariant& value = QVariant(), int column = 0);

#define KIV_TEST_MAIN_IN_PRIVATE_APP_DIR(TestObject)                   \
    int main(int argc, char* argv[])                                   \
    {                                                                  \
        const int relocated = RunInPrivateAppDir(argc, argv);          \
        if (relocated >= 0)                                            \
            return relocated;                                          \
        QCoreApplication app(argc, argv);                              \
        TestObject test;                                               \
        return QTest::qExec(&test, argc, argv);                        \
    }
