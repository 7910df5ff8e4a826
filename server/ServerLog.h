#ifndef SERVERLOG_H
#define SERVERLOG_H

#include <QLoggingCategory>

// Connections, disconnections and errors are logged at info level and above,
// so a server started by hand shows who talks to it; per-request detail is
// debug level and appears only through QT_LOGGING_RULES
// ("veldata.server.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcServer)

#endif // SERVERLOG_H
