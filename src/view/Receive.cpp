// The GUI side of the receive path: drains the ring the reader fills, feeds every byte to the two
// prompt matchers and the terminal, and paints once per drain.

#include <cstring>

#include "terminal/ReportWidget.h"
#include "view/ProgView.h"

namespace korv {

void CProgView::ProcessReceived() {
    int32_t pos = m_nRxTail.load(std::memory_order_relaxed);
    // Head is read again before every byte so bytes that arrive during the drain are taken too;
    // acquire pairs with the reader's release so the byte at pos is already in the ring.
    while (pos != m_nRxHead.load(std::memory_order_acquire)) {
        const char ch = static_cast<char>(m_rxRing[static_cast<size_t>(pos)]);
        if (++pos == RX_RING_SIZE) {
            pos = 0;
        }
        // A byte that breaks a partial match is not tried again as the start of a new one.
        if (ch == PROMPT_READY[m_nMatchReady]) {
            if (++m_nMatchReady == PROMPT_READY_LEN) {
                m_nMatchReady = 0;
                m_bPromptSeen = true;
            }
        } else {
            m_nMatchReady = 0;
        }
        if (ch == PROMPT_XONXOFF[m_nMatchXonXoff]) {
            if (++m_nMatchXonXoff == PROMPT_XONXOFF_LEN) {
                m_nMatchXonXoff = 0;
                m_bPromptSeen = true;
            }
        } else {
            m_nMatchXonXoff = 0;
        }
        if (m_receiveObserver) {
            m_receiveObserver(ch);
        }
        if (m_pTerm != nullptr) {
            m_pTerm->PutChar(ch);
        }
    }
    // Release: the slots are free for the reader only after their bytes have been read.
    m_nRxTail.store(pos, std::memory_order_release);
    if (m_pTerm != nullptr) {
        m_pTerm->Write("", true);
    }
}

void CProgView::SetRingForTest(int head, int tail, const uint8_t* bytes) {
    std::memcpy(m_rxRing.data(), bytes, m_rxRing.size());
    m_nRxTail.store(tail, std::memory_order_release);
    m_nRxHead.store(head, std::memory_order_release);
}

}  // namespace korv
