// Keeps a QCoreApplication in the process while any HTTP source needs Qt's network classes.
//
// The plug-in runs in hosts that are not Qt applications, and Qt's event loops and network
// replies do nothing without an application object. The first user starts one on a thread of
// the plug-in's own, which runs the application's event loop; the last user to leave stops that
// thread, which destroys the application, so that nothing stays behind once no source is open.
// When the host is itself a Qt application, its application object is used and never touched.
//
// While the plug-in owns the application, Qt's messages go to the plug-in's log instead of
// stderr, and the process's C locale, which Qt's start-up would change, is put back.
//
// Safe to call from any thread. A caller acquires before it creates any Qt object (a QThread
// included) and releases after its last Qt object is gone: Qt takes the first thread that uses
// it for the main thread, and that must be the application's.
#pragma once

class QtApplicationHost {
  public:
    // False when the application's thread cannot be started.
    static bool acquire();
    static void release();

    QtApplicationHost() = delete;
};
