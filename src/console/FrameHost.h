#pragma once
// What the main frame asks of the application that owns it. The frame sees
// the application only through this, so the application builds the frame
// and the frame never reaches back for the application's own header.
class CChildFrame;
class Collector;

class FrameHost {
public:
    // File, New: a document window (its view: CMainFrame::NewDocumentView).
    virtual CChildFrame* OnFileNew() = 0;
    // Commands, Select Radio Port...; false when nothing was chosen.
    virtual bool SelectRadioPort() = 0;
    // Whether the operator's close may go ahead.
    virtual bool ConfirmExit() = 0;
    // The clean stop of the worker, before the windows go.
    virtual bool StopWorker() = 0;
    // Closes the console as a signal or a logout does (no question asked).
    virtual void RequestQuit() = 0;
    // The collector whose link the status bar shows (null: none yet).
    virtual Collector* GetCollector() const = 0;

protected:
    ~FrameHost() = default;
};
