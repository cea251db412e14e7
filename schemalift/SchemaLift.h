#pragma once

// The one export of libschemalift: brings the global database and every device database it
// lists to the current schema. Loaded by installers and upgrade procedures (dlopen/dlsym by
// this name, or linked), never by the collector.

#if defined(_WIN32)
#define SCHEMALIFT_CALL __stdcall
#else
#define SCHEMALIFT_CALL
#endif
#define SCHEMALIFT_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C"
{
#endif

    // host, user, password: MySQL credentials; database: the database whose `dev_node` lists the
    // device databases; port: TCP port; logPath: text log, appended to (an unwritable path only
    // silences the log). Returns 0 when the device list was read and walked, whatever happened to
    // single databases, and -1 when the connection or the device-list query failed.
    SCHEMALIFT_API int SCHEMALIFT_CALL update_velmo_dc(const char* host, const char* user,
                                                       const char* password, const char* database, int port,
                                                       const char* logPath);

    // The same signature as a type, for callers that resolve the symbol at run time.
    typedef int(SCHEMALIFT_CALL* UpdateVelmoDcFn)(const char*, const char*, const char*, const char*, int,
                                                  const char*);

#ifdef __cplusplus
}
#endif
