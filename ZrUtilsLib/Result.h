#pragma once

#include <cstdarg>
#include <cstdint>

namespace ZrUtilsLib {

// Result codes. Only the low 16 bits of a stored code are significant.
enum : unsigned int {
    OK = 0x0000,
    PENDING = 0xFFFF,

    ABORTED = 0x0001,
    ARGUMENT_TOO_LONG,
    BAD_ADDRESS,
    BUFFER_TOO_SMALL,
    CANNOT_CREATE_EVENT,
    CANNOT_OPEN_FILE,
    CANNOT_SET_EVENT,
    CONSTRUCTOR_FAILED,
    CORRUPTED_FILE,
    D3D_ERROR,
    DD_ERROR,
    DEVICE_ERROR,
    DEVICE_RESET,
    DRIVER_ERROR,
    EMPTY_SEQUENCE,
    FILE_ERROR,
    INTERNAL_ERROR,
    INVALID_ARGUMENT,
    NETWORK_ERROR,
    NO_AVAILABLE_DATA,
    NO_MORE_ITEM,
    NO_SELECTED_ITEM,
    NOT_CONNECTED,
    NOT_ENOUGH_MEMORY,
    NOT_FOUND,
    NOT_SUPPORTED,
    ERR_OVERFLOW,
    STATE_ERROR,
    THREAD_ERROR,
    TIMEOUT,
    ERR_UNDERFLOW,
    UNEXPECTED_ERROR,
    UNEXPECTED_EXCEPTION,
    UNKNOWN_ERROR,
    UNSUPPORTED_CONVERSION,
    OPERATION_PENDING,
    IMAGE_ERROR,
    CORRUPTED_IMAGE,
    MISSING_PACKETS,
    RESYNC,

    ADAPTER_ALREADY_CONNECTED = 0x0100,

    BAD_INSTALLATION = 0x0200,
    BAD_VERSION,
    BUSY,

    COM_ERROR = 0x0300,
    CONFIG_MANAGER_ERROR,
    CONNECTOR_IS_NOT_PRESENT,
    CORRUPTED_DATA,
    CORRUPTED_NETWORK_CONFIG,
    CORRUPTED_PARAMETER,

    DELETED_RESULT = 0x0400,
    DLL_ERROR,
    DRIVER_KEY_DOES_NOT_EXIST,

    INSTALLATION_ERROR = 0x0500,
    INVALID_DATA_FORMAT,
    INVALID_DEVICE_ANSWER,
    INVALID_IO_CTL_CODE,
    IP_HELPER_ERROR,

    NETWORK_CONFIG_ERROR = 0x0600,
    NETWORK_LINK_DOWN = 0x0601,
    NO_MORE_ENTRY = 0x0603,
    NOT_IMPLEMENTED = 0x0604,
    NOT_INITIALIZED = 0x0605,

    PARAMETER_KEY_DOES_NOT_EXIST = 0x0700,

    REBOOT_NEEDED = 0x0800,
    REGISTRY_ACCESS_ERROR,
    REBOOT_AND_RECALL,

    SERVICE_CONTROL_ERROR = 0x0900,
    SETUP_API_ERROR,
    STREAM_RESET,
    NO_DRIVER,
    GENICAM_XML_ERROR,
    CANT_READ_MANIFEST,

    TODO = 0x0A00,

    TOO_MANY_RESENDS = 0x0B00,
    RESENDS_FAILURE,
    AUTO_ABORTED,
    TOO_MANY_CONSECUTIVE_RESENDS,

    GENERIC_ERROR = 0x4000,
    INVALID_PARAMETER,
    CANCEL,
};

// A stored code of 0x103 reads as Pending.
constexpr unsigned int PENDING_STORED = 0x103;

struct ErrorCodeDescription {
    uint32_t code;
    const char* name;
};

extern const ErrorCodeDescription ERROR_CODE_DESC[];
extern const unsigned int ERROR_CODE_DESC_COUNT;

// The value every fallible operation returns: a code, a secondary code and an optional
// description of at most 1023 characters (allocated only when one is set).
class Result {
public:
    static constexpr unsigned int DESCRIPTION_SIZE = 1024;

    Result();
    Result(unsigned int code);  // NOLINT: implicit on purpose, `return OK;` reads naturally
    Result(unsigned int code, unsigned int secondary);
    Result(unsigned int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
    Result(unsigned int code, unsigned int secondary, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    Result(const Result& other);
    Result& operator=(const Result& other);
    ~Result();

    void SetDescription(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Set(unsigned int code, const char* format, ...) __attribute__((format(printf, 3, 4)));

    unsigned int GetCode() const;
    const char* GetCodeString() const;
    unsigned int GetSecondaryCode() const { return mSecondaryCode; }
    bool IsPending() const { return GetCode() == PENDING; }
    bool IsSuccess() const;
    bool IsFailure() const { return !IsSuccess(); }

    bool HasDescription() const { return mDescription != nullptr; }
    // The description text, or an empty text when there is none.
    const char* GetDescription() const { return mDescription ? mDescription : ""; }

    static unsigned int Normalise(unsigned int storedCode);
    static const char* NameOf(unsigned int code);

private:
    void EnsureDescriptionBuffer();
    void FormatDescription(const char* format, va_list args);

    uint32_t mCode;
    uint32_t mSecondaryCode;
    char* mDescription;
};

}  // namespace ZrUtilsLib
