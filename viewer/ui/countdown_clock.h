#pragma once

// Waits between the steps of a photo countdown while the GUI keeps handling events (a second press of
// the photo button cancels the countdown during a wait). Tests put in a clock that does not sleep.
class CountdownClock {
public:
    virtual ~CountdownClock() = default;
    // Returns after ms milliseconds, having handled events meanwhile.
    virtual void wait(int ms) = 0;
};

// The real clock: a nested event loop ended by a single-shot timer.
class EventLoopCountdownClock final : public CountdownClock {
public:
    void wait(int ms) override;
};
