#pragma once

#include <QString>

// Style sheets of the capture controls that change with the capture state.
namespace capture_styles {

// "pushButton_2": the countdown selector showing time<seconds>.png (0, 2, 5 or 10).
QString countdownButtonStyle(int seconds);

// "pushButton_3": the photo button while recording starts (no image) and in photo mode (camera1.png).
QString photoButtonBlankStyle();
QString photoButtonCameraStyle();
// "pushButton_9": pause/resume showing recover.png while paused and suspend.png while running.
QString pauseButtonRecoverStyle();
QString pauseButtonSuspendStyle();

// "label_5": the recording dot, green while running, red while paused and after a stop.
QString dotRunningStyle();
QString dotPausedStyle();
QString dotStoppedStyle();

}  // namespace capture_styles
