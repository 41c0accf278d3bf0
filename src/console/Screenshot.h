#pragma once
// Pictures of the running console for the documentation. With
// KESTOVA_SCREENSHOT=FILE.png in the environment the console saves a picture
// of the screen (of the main window where the screen cannot be read) after
// KESTOVA_SCREENSHOT_DELAY_MS milliseconds (default 4000), and closes itself
// the ordinary way when KESTOVA_SCREENSHOT_QUIT=1.
class QWidget;

void ScheduleScreenshotFromEnvironment(QWidget* mainWindow);
// Saves the picture now; false when it could not be written.
bool SaveScreenshot(QWidget* mainWindow, const char* path);
