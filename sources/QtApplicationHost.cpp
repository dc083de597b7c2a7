#include "sources/QtApplicationHost.h"

#include <clocale>
#include <condition_variable>
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
    std::mutex mutex;  // guards everything below; held across start and stop of the thread
    int users = 0;
    bool owned = false;  // the application below is ours
    std::thread thread;
    QCoreApplication* application = nullptr;  // lives on |thread|; set while it runs
    std::condition_variable ready;
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

void runApplication() {
    HostState& host = state();
    const std::string locale = std::setlocale(LC_ALL, nullptr);
    const QtMessageHandler previous = qInstallMessageHandler(logQtMessage);
    {
        QCoreApplication application(applicationArgc, applicationArgv);
        // Qt sets the locale from the environment; the host's number formatting must not change.
        std::setlocale(LC_ALL, locale.c_str());
        {
            std::lock_guard<std::mutex> guard(host.mutex);
            host.application = &application;
        }
        host.ready.notify_all();
        QCoreApplication::exec();
        // The application is destroyed here, with every Qt global tied to its life.
    }
    qInstallMessageHandler(previous);
}

}  // namespace

bool QtApplicationHost::acquire() {
    HostState& host = state();
    std::unique_lock<std::mutex> lock(host.mutex);
    if (host.users > 0) {
        ++host.users;
        return true;
    }
    if (QCoreApplication::instance() != nullptr) {
        host.owned = false;
        host.users = 1;
        return true;
    }
    try {
        host.thread = std::thread(runApplication);
    } catch (const std::system_error&) {
        return false;
    }
    host.ready.wait(lock, [&] { return host.application != nullptr; });
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
