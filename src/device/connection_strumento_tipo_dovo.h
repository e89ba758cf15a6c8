#pragma once
// Masters this program only identifies: no update files of their own. The
// Dovo gauges are updated through a data key instead.
#include "device/connection_strumento_base.h"

class CConnectionStrumentoQuarvNoCAN : public CConnectionStrumentoBase {
public:
    using CConnectionStrumentoBase::CConnectionStrumentoBase;
};

class CConnectionStrumentoTipoDovo : public CConnectionStrumentoBase {
public:
    using CConnectionStrumentoBase::CConnectionStrumentoBase;
};
