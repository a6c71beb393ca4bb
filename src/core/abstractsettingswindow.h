#pragma once

class AbstractSettingsWindow {
public:
    virtual ~AbstractSettingsWindow() = default;
    virtual void show() = 0;
    // Shows the window at its section of recognition models (on this computer).
    virtual void showModels() { show(); }
};
