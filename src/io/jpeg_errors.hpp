// libjpeg's error manager as the JPEG reader and writer use it: nothing printed, warnings counted,
// the first error's code kept and control returned to the caller's setjmp on an error.
#pragma once

#include <csetjmp>
#include <cstdio>

extern "C" {
#include <jpeglib.h>
}

namespace dofmap::detail {

struct JpegErrors {
    jpeg_error_mgr library;
    std::jmp_buf jump;
    int warnings = 0;
    int errorCode = 0;
};

// Sets `errors` up and returns what a compressor's or decompressor's `err` takes.
inline jpeg_error_mgr* quietJpegErrors(JpegErrors& errors)
{
    jpeg_std_error(&errors.library);
    errors.library.error_exit = [](j_common_ptr info) {
        JpegErrors* own = reinterpret_cast<JpegErrors*>(info->err);
        own->errorCode = info->err->msg_code;
        std::longjmp(own->jump, 1);
    };
    // Level -1 is a warning (corrupt or missing data); higher levels are traces.
    errors.library.emit_message = [](j_common_ptr info, int level) {
        if (level < 0) ++reinterpret_cast<JpegErrors*>(info->err)->warnings;
    };
    errors.library.output_message = [](j_common_ptr) {};
    return &errors.library;
}

}  // namespace dofmap::detail
