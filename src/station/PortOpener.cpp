#include "station/PortOpener.h"

#include <mutex>
#include <system_error>

namespace korv {

// Shared by the session and the opening thread: whichever is left last frees it.
struct CPortOpener::Job {
    std::mutex mutex;
    INotifySink* sink = nullptr;  // null once the session no longer wants the port
    bool done = false;
    std::unique_ptr<ISerialPort> port;
    PortPrepared prepared;
};

CPortOpener::~CPortOpener() {
    if (!m_job) {
        return;
    }
    bool done = false;
    {
        std::lock_guard<std::mutex> lock(m_job->mutex);
        m_job->sink = nullptr;
        done = m_job->done;
    }
    if (!m_thread.joinable()) {
        return;
    }
    if (done) {
        m_thread.join();
    } else {
        // A lookup or a connection the system gives no way to cancel: the thread owns the job
        // from here on and ends by itself once the open has come to an end.
        m_thread.detach();
    }
}

bool CPortOpener::Start(Factory factory, const std::string& devicePath, INotifySink& sink) {
    m_job = std::make_shared<Job>();
    m_job->sink = &sink;
    try {
        m_thread = std::thread([job = m_job, factory, devicePath] {
            std::unique_ptr<ISerialPort> port = factory();
            const PortPrepared prepared = PreparePort(*port, devicePath);
            std::lock_guard<std::mutex> lock(job->mutex);
            job->port = std::move(port);
            job->prepared = prepared;
            job->done = true;
            if (job->sink != nullptr) {
                job->sink->PostCommNotify(COMM_NOTIFY_TAG, NOTIFY_PORT_PREPARED);
            }
        });
    } catch (const std::system_error&) {
        m_job.reset();
        return false;
    }
    return true;
}

std::unique_ptr<ISerialPort> CPortOpener::Take(PortPrepared* prepared) {
    if (!m_job) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(m_job->mutex);
    if (!m_job->done) {
        return nullptr;
    }
    *prepared = m_job->prepared;
    return std::move(m_job->port);
}

}  // namespace korv
