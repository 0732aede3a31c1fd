#pragma once
// ETI(NI) frame writer: the one in common, under the generator's names.
#include "common/eti_writer.h"

namespace dabgen {

constexpr size_t eti_frame_size = dabcommon::ETI_FRAME_SIZE;
constexpr size_t eti_fic_size = dabcommon::ETI_FIC_SIZE;
using eti_stream = dabcommon::eti_out_stream;
using dabcommon::eti_build_frame;
using dabcommon::eti_tpl;

}  // namespace dabgen
