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

    // Change handler of the box: writes or removes the entry. A failed write unticks the box
    // and logs why.
    void StartWithWindows_Click();
    bool IsInStartup();

private:
    Autostart& m_autostart;
    FormView& m_view;
    MessageSink& m_log;
};

} // namespace rostrel
