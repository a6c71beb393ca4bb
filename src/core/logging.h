#pragma once

#include <QLoggingCategory>

// One category per subsystem; enable with e.g. QT_LOGGING_RULES="verbulo.*.debug=true".
// Lines never carry a key, a token or dictated text.
Q_DECLARE_LOGGING_CATEGORY(lcAudio)
Q_DECLARE_LOGGING_CATEGORY(lcCore)
Q_DECLARE_LOGGING_CATEGORY(lcInput)
Q_DECLARE_LOGGING_CATEGORY(lcInsertion)
Q_DECLARE_LOGGING_CATEGORY(lcServices)
Q_DECLARE_LOGGING_CATEGORY(lcUI)
