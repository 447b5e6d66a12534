#include "ZrUtilsLib/Result.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace ZrUtilsLib {

#define ZR_CODE_ROW(name) \
    { name, #name }

const ErrorCodeDescription ERROR_CODE_DESC[] = {
    ZR_CODE_ROW(OK),
    {PENDING, "Pending"},
    ZR_CODE_ROW(ABORTED),
    ZR_CODE_ROW(ARGUMENT_TOO_LONG),
    ZR_CODE_ROW(BAD_ADDRESS),
    ZR_CODE_ROW(BUFFER_TOO_SMALL),
    ZR_CODE_ROW(CANNOT_CREATE_EVENT),
    ZR_CODE_ROW(CANNOT_OPEN_FILE),
    ZR_CODE_ROW(CANNOT_SET_EVENT),
    ZR_CODE_ROW(CONSTRUCTOR_FAILED),
    ZR_CODE_ROW(CORRUPTED_FILE),
    ZR_CODE_ROW(D3D_ERROR),
    ZR_CODE_ROW(DD_ERROR),
    ZR_CODE_ROW(DEVICE_ERROR),
    ZR_CODE_ROW(DEVICE_RESET),
    ZR_CODE_ROW(DRIVER_ERROR),
    ZR_CODE_ROW(EMPTY_SEQUENCE),
    ZR_CODE_ROW(FILE_ERROR),
    ZR_CODE_ROW(INTERNAL_ERROR),
    ZR_CODE_ROW(INVALID_ARGUMENT),
    ZR_CODE_ROW(NETWORK_ERROR),
    ZR_CODE_ROW(NO_AVAILABLE_DATA),
    ZR_CODE_ROW(NO_MORE_ITEM),
    ZR_CODE_ROW(NO_SELECTED_ITEM),
    ZR_CODE_ROW(NOT_CONNECTED),
    ZR_CODE_ROW(NOT_ENOUGH_MEMORY),
    ZR_CODE_ROW(NOT_FOUND),
    ZR_CODE_ROW(NOT_SUPPORTED),
    ZR_CODE_ROW(ERR_OVERFLOW),
    ZR_CODE_ROW(STATE_ERROR),
    ZR_CODE_ROW(THREAD_ERROR),
    ZR_CODE_ROW(TIMEOUT),
    ZR_CODE_ROW(ERR_UNDERFLOW),
    ZR_CODE_ROW(UNEXPECTED_ERROR),
    ZR_CODE_ROW(UNEXPECTED_EXCEPTION),
    ZR_CODE_ROW(UNKNOWN_ERROR),
    ZR_CODE_ROW(UNSUPPORTED_CONVERSION),
    ZR_CODE_ROW(OPERATION_PENDING),
    ZR_CODE_ROW(IMAGE_ERROR),
    ZR_CODE_ROW(CORRUPTED_IMAGE),
    ZR_CODE_ROW(MISSING_PACKETS),
    ZR_CODE_ROW(RESYNC),
    ZR_CODE_ROW(ADAPTER_ALREADY_CONNECTED),
    ZR_CODE_ROW(BAD_INSTALLATION),
    ZR_CODE_ROW(BAD_VERSION),
    ZR_CODE_ROW(BUSY),
    ZR_CODE_ROW(COM_ERROR),
    ZR_CODE_ROW(CONFIG_MANAGER_ERROR),
    ZR_CODE_ROW(CONNECTOR_IS_NOT_PRESENT),
    ZR_CODE_ROW(CORRUPTED_DATA),
    ZR_CODE_ROW(CORRUPTED_NETWORK_CONFIG),
    ZR_CODE_ROW(CORRUPTED_PARAMETER),
    ZR_CODE_ROW(DELETED_RESULT),
    ZR_CODE_ROW(DLL_ERROR),
    ZR_CODE_ROW(DRIVER_KEY_DOES_NOT_EXIST),
    ZR_CODE_ROW(INSTALLATION_ERROR),
    ZR_CODE_ROW(INVALID_DATA_FORMAT),
    ZR_CODE_ROW(INVALID_DEVICE_ANSWER),
    ZR_CODE_ROW(INVALID_IO_CTL_CODE),
    ZR_CODE_ROW(IP_HELPER_ERROR),
    ZR_CODE_ROW(NETWORK_CONFIG_ERROR),
    ZR_CODE_ROW(NETWORK_LINK_DOWN),
    ZR_CODE_ROW(NO_MORE_ENTRY),
    ZR_CODE_ROW(NOT_IMPLEMENTED),
    ZR_CODE_ROW(NOT_INITIALIZED),
    ZR_CODE_ROW(PARAMETER_KEY_DOES_NOT_EXIST),
    ZR_CODE_ROW(REBOOT_NEEDED),
    ZR_CODE_ROW(REGISTRY_ACCESS_ERROR),
    ZR_CODE_ROW(REBOOT_AND_RECALL),
    ZR_CODE_ROW(SERVICE_CONTROL_ERROR),
    ZR_CODE_ROW(SETUP_API_ERROR),
    ZR_CODE_ROW(STREAM_RESET),
    ZR_CODE_ROW(NO_DRIVER),
    ZR_CODE_ROW(GENICAM_XML_ERROR),
    ZR_CODE_ROW(CANT_READ_MANIFEST),
    ZR_CODE_ROW(TODO),
    ZR_CODE_ROW(TOO_MANY_RESENDS),
    ZR_CODE_ROW(RESENDS_FAILURE),
    ZR_CODE_ROW(AUTO_ABORTED),
    ZR_CODE_ROW(TOO_MANY_CONSECUTIVE_RESENDS),
    ZR_CODE_ROW(GENERIC_ERROR),
    ZR_CODE_ROW(INVALID_PARAMETER),
    ZR_CODE_ROW(CANCEL),
};

#undef ZR_CODE_ROW

const unsigned int ERROR_CODE_DESC_COUNT = sizeof(ERROR_CODE_DESC) / sizeof(ERROR_CODE_DESC[0]);

Result::Result() : mCode(NOT_INITIALIZED), mSecondaryCode(0), mDescription(nullptr) {}

Result::Result(unsigned int code) : mCode(code), mSecondaryCode(0), mDescription(nullptr) {}

Result::Result(unsigned int code, unsigned int secondary)
    : mCode(code), mSecondaryCode(secondary), mDescription(nullptr) {}

Result::Result(unsigned int code, const char* format, ...)
    : mCode(code), mSecondaryCode(0), mDescription(nullptr) {
    va_list args;
    va_start(args, format);
    FormatDescription(format, args);
    va_end(args);
}

Result::Result(unsigned int code, unsigned int secondary, const char* format, ...)
    : mCode(code), mSecondaryCode(secondary), mDescription(nullptr) {
    va_list args;
    va_start(args, format);
    FormatDescription(format, args);
    va_end(args);
}

Result::Result(const Result& other)
    : mCode(other.GetCode()), mSecondaryCode(other.mSecondaryCode), mDescription(nullptr) {
    if (other.mDescription != nullptr) {
        EnsureDescriptionBuffer();
        std::strncpy(mDescription, other.mDescription, DESCRIPTION_SIZE - 1);
    }
}

Result& Result::operator=(const Result& other) {
    if (this == &other) {
        return *this;
    }
    if (other.mDescription != nullptr) {
        EnsureDescriptionBuffer();
        std::strncpy(mDescription, other.mDescription, DESCRIPTION_SIZE - 1);
        mDescription[DESCRIPTION_SIZE - 1] = '\0';
    } else if (mDescription != nullptr) {
        std::free(mDescription);
        mDescription = nullptr;
    }
    mCode = other.GetCode();
    mSecondaryCode = other.mSecondaryCode;
    return *this;
}

Result::~Result() {
    mCode = DELETED_RESULT;
    std::free(mDescription);
}

void Result::SetDescription(const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatDescription(format, args);
    va_end(args);
}

void Result::Set(unsigned int code, const char* format, ...) {
    mCode = code;
    va_list args;
    va_start(args, format);
    FormatDescription(format, args);
    va_end(args);
}

unsigned int Result::Normalise(unsigned int storedCode) {
    if (storedCode == 0) {
        return OK;
    }
    if (storedCode == PENDING_STORED) {
        return PENDING;
    }
    return storedCode & 0xFFFF;
}

unsigned int Result::GetCode() const {
    return Normalise(mCode);
}

bool Result::IsSuccess() const {
    const unsigned int code = GetCode();
    return code == OK || code == PENDING;
}

const char* Result::NameOf(unsigned int code) {
    for (unsigned int i = 0; i < ERROR_CODE_DESC_COUNT; ++i) {
        if (ERROR_CODE_DESC[i].code == code) {
            return ERROR_CODE_DESC[i].name;
        }
    }
    return "Unknown result code";
}

const char* Result::GetCodeString() const {
    return NameOf(GetCode());
}

void Result::EnsureDescriptionBuffer() {
    if (mDescription == nullptr) {
        mDescription = static_cast<char*>(std::calloc(DESCRIPTION_SIZE, 1));
        if (mDescription == nullptr) {
            throw std::bad_alloc();
        }
    }
}

void Result::FormatDescription(const char* format, va_list args) {
    EnsureDescriptionBuffer();
    std::vsnprintf(mDescription, DESCRIPTION_SIZE, format != nullptr ? format : "", args);
}

}  // namespace ZrUtilsLib
