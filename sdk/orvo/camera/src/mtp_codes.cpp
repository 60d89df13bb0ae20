// Naming of operation, response, event and object-format codes: the standard
// table first on every dialect, then the device's vendor table. The tables are
// generated from tables/mtp_vocabulary.txt by scripts/gen_ptp_vocab.py.
#include "orvo/camera/mtp_codes.h"

#include "tables/mtp_vocabulary_lookup.h"

namespace orvo
{
namespace
{
#include "tables/mtp_codes_names.inc"
} // namespace

const char* mtp_command_to_cstr(u32 protocol, u32 operation)
{
    if (const char* name = mtp_vocabulary_name(mtp_command_names_standard, operation))
        return name;
    if (protocol == MTP_PROTOCOL_CANON)
        return mtp_vocabulary_or_unknown(mtp_vocabulary_name(mtp_command_names_canon, operation));
    if (protocol == MTP_PROTOCOL_NIKON)
        return mtp_vocabulary_or_unknown(mtp_vocabulary_name(mtp_command_names_nikon, operation));
    return mtp_vocabulary_unknown;
}

const char* mtp_response_to_cstr(u32 protocol, u32 response)
{
    if (const char* name = mtp_vocabulary_name(mtp_response_names_standard, response))
        return name;
    if (protocol == MTP_PROTOCOL_NIKON)
        return mtp_vocabulary_or_unknown(mtp_vocabulary_name(mtp_response_names_nikon, response));
    return mtp_vocabulary_unknown;
}

const char* mtp_event_to_cstr(u32 protocol, u32 event)
{
    if (const char* name = mtp_vocabulary_name(mtp_event_names_standard, event))
        return name;
    if (protocol == MTP_PROTOCOL_CANON)
        return mtp_vocabulary_or_unknown(mtp_vocabulary_name(mtp_event_names_canon, event));
    if (protocol == MTP_PROTOCOL_NIKON)
        return mtp_vocabulary_or_unknown(mtp_vocabulary_name(mtp_event_names_nikon, event));
    return mtp_vocabulary_unknown;
}

const char* mtp_format_to_cstr(u32 protocol, u32 format)
{
    if (const char* name = mtp_vocabulary_name(mtp_format_names_standard, format))
        return name;
    if (protocol == MTP_PROTOCOL_CANON)
        return mtp_vocabulary_or_unknown(mtp_vocabulary_name(mtp_format_names_canon, format));
    return mtp_vocabulary_unknown;
}

const char* mtp_format_to_extension_cstr(u32 protocol, u32 format)
{
    switch (format)
    {
    case MTP_FORMAT_EXIF_JPEG:
        return "JPG";
    case MTP_FORMAT_TIFF_EP:
    case MTP_FORMAT_TIFF_IT:
        return "TIFF";
    case MTP_FORMAT_JP2:
        return "JP2";
    case MTP_FORMAT_JPX:
        return "JPX";
    default:
        break;
    }
    if (protocol == MTP_PROTOCOL_CANON)
    {
        switch (format)
        {
        case MTP_FORMAT_Canon_CRW:
            return "CRW";
        case MTP_FORMAT_Canon_CR2:
            return "CR2";
        case MTP_FORMAT_Canon_MOV:
            return "MOV";
        case MTP_FORMAT_Canon_MOV2:
            return "MOV2";
        default:
            break;
        }
    }
    return mtp_format_to_cstr(protocol, format);
}
} // namespace orvo
