#pragma once
// The "Run on Startup" box over the platform's start-up entry.

namespace rostrel {

class Autostart;
class FormView;
class MessageSink;

class StartupEntry
{
public:
    StartupEntry(Autostart& autostart, FormView& view, MessageSink& log);

    // Change handler of the box: writes or removes the entry. When that fails the log says why
    // and the box is set back to what the system holds: a write that failed leaves it unticked
    // unless a current entry was there already.
    void StartWithWindows_Click();
    bool IsInStartup();

private:
    Autostart& m_autostart;
    FormView& m_view;
    MessageSink& m_log;
    bool m_showingState = false; // the box is being set to the system's state, not clicked
};

} // namespace rostrel
