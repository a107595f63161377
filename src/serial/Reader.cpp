// The reader thread: moves every byte the tester sends from the port into the receive ring and
// tells the GUI thread after each completed read. It never waits for the GUI thread.

#include <algorithm>
#include <thread>

#include "platform/SysError.h"
#include "view/ProgView.h"

namespace korv {

void CProgView::ReaderThreadProc(CProgView* view) {
    while (view->m_bReaderRun.load(std::memory_order_acquire)) {
        view->ReadChunk();
    }
    view->m_bReaderAlive.store(false, std::memory_order_release);
}

void CProgView::ReadChunk() {
    const int32_t head = m_nRxHead.load(std::memory_order_relaxed);
    // Acquire: the GUI thread has finished reading every slot it released.
    int32_t room = m_nRxTail.load(std::memory_order_acquire) - head;
    if (room <= 0) {
        room += RX_RING_SIZE;
    }
    if (room <= 1) {
        // Full ring: the driver holds further bytes (and sends XOFF) until the GUI has drained.
        std::this_thread::sleep_for(m_timing.readerPause);
        return;
    }
    // Never past the end of the buffer, never into the slot that keeps head from reaching tail.
    const uint32_t count = static_cast<uint32_t>(std::min(RX_RING_SIZE - head, room - 1));
    uint32_t got = 0;
    const int err = m_hPort->Read(&m_rxRing[static_cast<size_t>(head)], count, &got);
    // Bytes that arrived before a read failed are the tester's as much as any others.
    got = std::min(got, count);
    if (err == 0 || got > 0) {
        int32_t next = head + static_cast<int32_t>(got);
        if (next == RX_RING_SIZE) {
            next = 0;
        }
        // Release: the bytes are in the ring before the GUI thread can see the head move past
        // them.
        m_nRxHead.store(next, std::memory_order_release);
        m_sink.PostCommNotify(COMM_NOTIFY_TAG, NOTIFY_RX_DATA);
    }
    if (err != 0) {
        // Only the reader's own stop ends a read without a pause. Any other failure, a cancel
        // this program did not ask for included, comes back at once from a port that has gone
        // (unplugged adapter, hung-up line); pausing keeps the thread from spinning a core
        // until the port is closed.
        if (err != ERR_CANCELLED || m_bReaderRun.load(std::memory_order_acquire)) {
            if (err == ERR_PORT_LOST && !m_bPortLostPosted) {
                m_bPortLostPosted = true;
                m_sink.PostCommNotify(COMM_NOTIFY_TAG, NOTIFY_PORT_LOST);
            }
            std::this_thread::sleep_for(m_timing.readerPause);
        }
    }
}

}  // namespace korv
