#pragma once

#include "app/form1.h"

// Marks a flow (search run or Browse) as running for its lifetime, so that no second flow starts
// while one holds, or is opening, the connection.
class FlowGuard
{
public:
    explicit FlowGuard(Form1 &form) : m_form(form) { m_form.m_flowRunning = true; }
    ~FlowGuard() { m_form.m_flowRunning = false; }
    FlowGuard(const FlowGuard &) = delete;
    FlowGuard &operator=(const FlowGuard &) = delete;

private:
    Form1 &m_form;
};
