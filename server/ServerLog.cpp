#include "ServerLog.h"

Q_LOGGING_CATEGORY(lcServer, "veldata.server", QtInfoMsg)
