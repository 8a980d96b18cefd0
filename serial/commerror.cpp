#include "commerror.h"

CommError::CommError(int number, QString message)
    : m_number(number)
    , m_message(std::move(message))
    , m_what(QStringLiteral("%1: %2").arg(number).arg(m_message).toUtf8())
{}
