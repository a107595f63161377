#include "app/ProgApp.h"

#include "app/MainFrame.h"
#include "app/ProgForm.h"
#include "platform/DeviceMap.h"
#include "view/ProgView.h"

namespace korv {

CProgApp::CProgApp(AppOptions options) : m_options(std::move(options)) {
    if (!m_options.deviceMap) {
        m_options.deviceMap = [] { return MakeSystemDeviceMap(); };
    }
}

CProgApp::~CProgApp() {
    // The controller goes first: it stops both workers, whose notifications target the form,
    // and it may still write to the terminal pane while it closes the port.
    if (m_frame) {
        m_frame->Form().SetView(nullptr);
    }
    m_view.reset();
    m_frame.reset();
}

CProgForm& CProgApp::Form() const {
    return m_frame->Form();
}

void CProgApp::BuildPortList() {
    m_portList.FreePortList();
    std::unique_ptr<ISerialDeviceMap> map = m_options.deviceMap();
    m_portList.BuildPortList(*map);
}

void CProgApp::InitInstance() {
    BuildPortList();
    m_frame = std::make_unique<CMainFrame>(m_doc);
    CProgForm& form = m_frame->Form();
    m_view = std::make_unique<CProgView>(form, form, m_profile, m_doc, m_options.portFactory,
                                         m_options.programPath);
    form.SetView(m_view.get());
    form.SetPortSource([this] {
        return WithProfileNetPorts(CurrentPortNames(*m_options.deviceMap()), m_profile);
    });
    if (!m_options.portOverride.empty()) {
        m_view->SetPortOverride(m_options.portOverride);
        form.SetPortOverride(m_options.portOverride);
    }
    if (!m_options.initialFile.empty()) {
        m_view->SetInitialUpdateFile(m_options.initialFile);
    }
    m_frame->SetFileNew([this] { OnFileNew(); });
    m_frame->SetFileOpen([this] { OnFileOpen(); });
    if (m_options.prepareForm) {
        m_options.prepareForm(form);
    }

    form.Dispatch([this](CProgView& view) { view.OnInitialUpdate(m_portList); });
    m_frame->show();
}

void CProgApp::OnFileNew() {
    m_frame->Form().Dispatch([this](CProgView& view) {
        if (view.OnFileNew()) {
            Reinitialize(view);
        }
    });
}

void CProgApp::OnFileOpen() {
    m_frame->Form().Dispatch([this](CProgView& view) {
        if (view.OnFileOpen()) {
            Reinitialize(view);
        }
    });
}

void CProgApp::Reinitialize(CProgView& view) {
    BuildPortList();
    view.OnInitialUpdate(m_portList);
}

}  // namespace korv
