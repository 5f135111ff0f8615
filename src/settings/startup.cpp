#include "settings/startup.h"

#include "core/autostart.h"
#include "core/formview.h"
#include "core/seams.h"

namespace rostrel {

StartupEntry::StartupEntry(Autostart& autostart, FormView& view, MessageSink& log)
    : m_autostart(autostart)
    , m_view(view)
    , m_log(log)
{ }

void StartupEntry::StartWithWindows_Click()
{
    if (m_showingState)
        return;
    const bool wanted = m_view.startWithWindows();
    const Result<void> done = wanted ? m_autostart.enable() : m_autostart.disable();
    if (done)
        return;

    m_log.AddMessage((wanted ? QStringLiteral("Could not add the program to the start-up programs: ")
                             : QStringLiteral("Could not remove the program from the start-up programs: "))
        + done.error());
    // The box shows what the system holds. Changing it runs this handler again, which must not
    // write or remove anything.
    m_showingState = true;
    m_view.setStartWithWindows(m_autostart.isInStartup());
    m_showingState = false;
}

bool StartupEntry::IsInStartup()
{
    return m_autostart.isInStartup();
}

} // namespace rostrel
