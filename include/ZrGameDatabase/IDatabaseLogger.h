// IDatabaseLogger.h: the host's log sink.
//
// The host implements this class and hands an instance to Connection::SetLogger; from then on the
// connection owns it and destroys it through the virtual destructor.
#pragma once

#include "ZrGameDatabase/Platform.h"

namespace Database {

class ZRDB_API IDatabaseLogger {
public:
    // Severity codes passed to Log.
    enum Severity : int {
        Message = 0,  // informational reports
        Warning = 1,  // the busy wait, rows returned where none were expected
        Error = 2,    // every SQLite failure and every loader error
    };

    virtual ~IDatabaseLogger();

    // Receives one log line. text lives only for the call and may be null (a SQLite failure
    // reported while the connection holds no handle).
    virtual void Log(const char* text, int severity) = 0;
};

}  // namespace Database
