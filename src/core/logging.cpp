#include "logging.h"

Q_LOGGING_CATEGORY(lcAudio, "verbulo.audio", QtInfoMsg)
Q_LOGGING_CATEGORY(lcCore, "verbulo.core", QtInfoMsg)
Q_LOGGING_CATEGORY(lcInput, "verbulo.input", QtInfoMsg)
Q_LOGGING_CATEGORY(lcInsertion, "verbulo.insertion", QtInfoMsg)
Q_LOGGING_CATEGORY(lcServices, "verbulo.services", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUI, "verbulo.ui", QtInfoMsg)
