#include "sources/QtApplicationHost.h"

#include <clocale>
#include <future>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <QCoreApplication>
#include <QMetaObject>
#include <QString>

#include "common/Log.h"

namespace {

struct HostState {
    // Held for the whole of acquire and release, the start and the stop of the thread included,
    // so that a second user never sees an application that is still being made or taken down.
    std::mutex mutex;
    int users = 0;                            // guarded by mutex
    bool owned = false;                       // guarded by mutex; the application below is ours
    std::thread thread;                       // guarded by mutex
    QCoreApplication* application = nullptr;  // guarded by mutex; lives on |thread|
};

HostState& state() {
    static HostState* const instance = new HostState();  // never destroyed: used at exit
    return *instance;
}

// QCoreApplication keeps references to these for its whole life.
int applicationArgc = 1;
char applicationName[] = "ZOVOzudo";
char* applicationArgv[] = {applicationName, nullptr};

void logQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    const std::wstring text = message.toStdWString();
    if (type == QtDebugMsg || type == QtInfoMsg) {
        LogDebug(boost::wformat(L"Qt : %s") % text);
    } else {
        LogWarn(boost::wformat(L"Qt : %s") % text);
    }
}

// Runs on the application's thread; |running| gets the application once its loop may be quit.
void runApplication(std::promise<QCoreApplication*>* running) {
    const std::string locale = std::setlocale(LC_ALL, nullptr);
    const QtMessageHandler previous = qInstallMessageHandler(logQtMessage);
    {
        QCoreApplication application(applicationArgc, applicationArgv);
        // Qt sets the locale from the environment; the host's number formatting must not change.
        std::setlocale(LC_ALL, locale.c_str());
        running->set_value(&application);
        QCoreApplication::exec();
        // The application is destroyed here, with every Qt global tied to its life.
    }
    qInstallMessageHandler(previous);
}

}  // namespace

bool QtApplicationHost::acquire() {
    HostState& host = state();
    std::lock_guard<std::mutex> guard(host.mutex);
    if (host.users > 0) {
        ++host.users;
        return true;
    }
    if (QCoreApplication::instance() != nullptr) {
        host.owned = false;
        host.users = 1;
        return true;
    }
    std::promise<QCoreApplication*> running;
    std::future<QCoreApplication*> application = running.get_future();
    try {
        host.thread = std::thread(runApplication, &running);
    } catch (const std::system_error&) {
        return false;
    }
    host.application = application.get();
    host.owned = true;
    host.users = 1;
    return true;
}

void QtApplicationHost::release() {
    HostState& host = state();
    std::lock_guard<std::mutex> guard(host.mutex);
    if (host.users == 0 || --host.users > 0) return;
    if (!host.owned) return;
    // Posted, so that the quit is seen by the application's own loop even if it has not
    // started yet.
    QMetaObject::invokeMethod(host.application, &QCoreApplication::quit, Qt::QueuedConnection);
    host.thread.join();
    host.application = nullptr;
    host.owned = false;
}
