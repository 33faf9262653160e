// Status.h: how an internal step ended. The library throws nothing, inside or out: a helper that
// can fail returns one of these, and the caller that reports to the host turns it into a text.
#pragma once

namespace Database {

enum class [[nodiscard]] Status {
    Ok,
    Refused,      // the database (or a limit of the library) refused; the reason is logged or on the connection
    OutOfMemory,  // no memory could be had; nothing was changed
};

}  // namespace Database
