/*
 * The file conduit's client: one request and its reply at a time, in AFC's
 * own packet format, over the service connection.
 */
#include "libtarvo/afc.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "afc_packet.h"
#include "afc_private.h"
#include "debug.h"
#include "service_connection.h"

struct afc_client_private {
    std::unique_ptr<libtarvo::Connection> connection;
    std::string name;
    int reply_ms = libtarvo::kAfcDefaultReplyMs;
    // One request and its reply at a time; packet numbers follow requests.
    std::mutex mutex;
    uint64_t next_packet = 0;
};

namespace libtarvo {
namespace {

constexpr const char *kServiceName = "com.apple.afc";

afc_error_t afc_error_from_status(Status status) {
    switch (status) {
        case Status::kOk:
            return AFC_E_SUCCESS;
        case Status::kInvalidArg:
            return AFC_E_INVALID_ARG;
        case Status::kTimeout:
            return AFC_E_OP_TIMEOUT;
        case Status::kTooLarge:
            return AFC_E_TOO_MUCH_DATA;
        case Status::kMalformed:
            return AFC_E_OP_HEADER_INVALID;
        case Status::kClosed:
        case Status::kReset:
        case Status::kRefused:
        case Status::kTls:
        case Status::kBadCredentials:
        case Status::kIo:
            return AFC_E_MUX_ERROR;
    }
    return AFC_E_UNKNOWN_ERROR;
}

// The device's own codes (0 to 23) are passed on as they are. Anything
// else is not a code we know, and must not pass for one of the host's own
// (30 and up) either: it becomes the device's "unknown error".
afc_error_t afc_error_from_device_code(uint64_t code) {
    return code <= AFC_E_INTERNAL_ERROR ? static_cast<afc_error_t>(code) : AFC_E_UNKNOWN_ERROR;
}

struct Reply {
    AfcHeader header;
    std::vector<uint8_t> header_data;
    // The payload, unless it went into the caller's buffer.
    std::vector<uint8_t> payload;
    std::size_t payload_size = 0;
};

// A u64 the reply carries, in its header data or else its payload.
bool reply_u64(const Reply &reply, uint64_t *value) {
    return read_afc_u64(reply.header_data, value) || read_afc_u64(reply.payload, value);
}

std::vector<uint8_t> path_argument(const char *path) {
    std::vector<uint8_t> bytes(path, path + std::strlen(path));
    bytes.push_back(0);
    return bytes;
}

void debug_packet(Direction direction, const std::string &service, uint64_t packet,
                  uint64_t operation, std::size_t header_data, std::size_t payload) {
    if (!debug_enabled()) {
        return;
    }
    debug_note(service, std::string(direction == Direction::kSent ? "send " : "recv ") +
                            afc_operation_name(operation) + " #" + std::to_string(packet) + ": " +
                            std::to_string(header_data) + " bytes of header data, " +
                            std::to_string(payload) + " bytes of payload");
}

afc_error_t fail_broken(afc_client_t client, afc_error_t error) {
    client->connection->mark_broken();
    return error;
}

afc_error_t send_request(afc_client_t client, uint64_t packet, AfcOperation operation,
                         std::span<const uint8_t> header_data, std::span<const uint8_t> payload,
                         const Deadline &deadline) {
    std::vector<uint8_t> head(kAfcHeaderSize);
    encode_afc_header(packet, operation, header_data.size(), payload.size(),
                      std::span<uint8_t, kAfcHeaderSize>(head.data(), kAfcHeaderSize));
    head.insert(head.end(), header_data.begin(), header_data.end());
    debug_packet(Direction::kSent, client->name, packet, static_cast<uint64_t>(operation),
                 header_data.size(), payload.size());
    // The payload goes from the caller's memory as it is.
    Status s = client->connection->send_all(head, deadline);
    if (s == Status::kOk && !payload.empty()) {
        s = client->connection->send_all(payload, deadline);
    }
    return afc_error_from_status(s);
}

// Appends the next `count` bytes of the stream to *bytes.
Status receive_rest(Connection &connection, uint64_t count, std::vector<uint8_t> *bytes,
                    const Deadline &deadline) {
    const std::size_t start = bytes->size();
    bytes->resize(start + count);
    return connection.receive_exact(std::span(*bytes).subspan(start), deadline);
}

// The reply to `packet`: its header checked (cap, magic, lengths, packet
// number) before anything is allocated for the rest, then the whole packet
// read and handed to decode_afc_packet(), which must take it to its last
// byte. A data payload goes into `payload_into` when given (it must fit),
// else into reply->payload.
afc_error_t receive_reply(afc_client_t client, uint64_t packet, std::span<uint8_t> payload_into,
                          Reply *reply, const Deadline &deadline) {
    Connection &connection = *client->connection;
    std::vector<uint8_t> bytes(kAfcHeaderSize);
    if (Status s = connection.receive_exact(bytes, deadline); s != Status::kOk) {
        // Even a clean timeout leaves the stream out of step: the late reply
        // would meet the next request.
        return fail_broken(client, afc_error_from_status(s));
    }
    AfcHeader header;
    switch (decode_afc_header(bytes, packet, &header)) {
        case ReadResult::kOk:
            break;
        case ReadResult::kTooLarge:
            debug_note(client->name, "refused a packet above the size cap");
            return fail_broken(client, AFC_E_TOO_MUCH_DATA);
        default:
            debug_note(client->name, "refused a bad packet header");
            return fail_broken(client, AFC_E_OP_HEADER_INVALID);
    }
    const bool into_caller = header.operation == static_cast<uint64_t>(AfcOperation::kData) &&
                             payload_into.data() != nullptr;
    if (into_caller && header.payload_size() > payload_into.size()) {
        if (Status s = receive_rest(connection, header.header_data_size(), &bytes, deadline);
            s != Status::kOk) {
            return fail_broken(client, afc_error_from_status(s));
        }
        debug_note(client->name, "the device sent more data than was asked for");
        return fail_broken(client, AFC_E_TOO_MUCH_DATA);
    }
    if (Status s = receive_rest(connection, header.entire_length - bytes.size(), &bytes, deadline);
        s != Status::kOk) {
        return fail_broken(client, afc_error_from_status(s));
    }
    ByteReader reader(bytes, kAfcMaxPacketSize);
    AfcPacket decoded;
    if (decode_afc_packet(reader, packet, &decoded) != ReadResult::kOk ||
        reader.expect_end() != ReadResult::kOk) {
        debug_note(client->name, "refused a bad packet header");
        return fail_broken(client, AFC_E_OP_HEADER_INVALID);
    }
    reply->header = decoded.header;
    reply->header_data.assign(decoded.header_data.begin(), decoded.header_data.end());
    reply->payload_size = decoded.payload.size();
    if (into_caller) {
        std::copy(decoded.payload.begin(), decoded.payload.end(), payload_into.begin());
    } else {
        reply->payload.assign(decoded.payload.begin(), decoded.payload.end());
    }
    debug_packet(Direction::kReceived, client->name, packet, header.operation,
                 reply->header_data.size(), reply->payload_size);
    return AFC_E_SUCCESS;
}

// The frame loop: one request, its reply, and what the reply means. A status
// packet with a non-zero code returns that code; a status of success where
// data was expected counts as empty data.
afc_error_t exchange(afc_client_t client, AfcOperation operation,
                     std::span<const uint8_t> header_data, std::span<const uint8_t> payload,
                     AfcOperation expected, Reply *reply, std::span<uint8_t> payload_into = {}) {
    if (client->connection->broken()) {
        return AFC_E_MUX_ERROR;
    }
    const uint64_t packet = client->next_packet++;
    Deadline deadline(client->reply_ms);
    if (afc_error_t e = send_request(client, packet, operation, header_data, payload, deadline)) {
        return e;
    }
    if (afc_error_t e = receive_reply(client, packet, payload_into, reply, deadline)) {
        return e;
    }
    const uint64_t op = reply->header.operation;
    if (op == static_cast<uint64_t>(AfcOperation::kStatus)) {
        uint64_t code = 0;
        if (!reply_u64(*reply, &code)) {
            return AFC_E_NOT_ENOUGH_DATA;
        }
        if (code != 0) {
            return afc_error_from_device_code(code);
        }
        if (expected == AfcOperation::kData) {
            reply->payload.clear();
            reply->payload_size = 0;
            return AFC_E_SUCCESS;
        }
        return expected == AfcOperation::kStatus ? AFC_E_SUCCESS : AFC_E_NOT_ENOUGH_DATA;
    }
    return op == static_cast<uint64_t>(expected) ? AFC_E_SUCCESS : AFC_E_UNKNOWN_PACKET_TYPE;
}

afc_error_t path_request(afc_client_t client, AfcOperation operation, const char *path,
                         AfcOperation expected, Reply *reply) {
    if (!client || !path) {
        return AFC_E_INVALID_ARG;
    }
    std::lock_guard<std::mutex> lock(client->mutex);
    return exchange(client, operation, path_argument(path), {}, expected, reply);
}

// NUL-separated strings (the last one may lack its NUL) as a null-ended
// array of heap strings.
afc_error_t make_string_list(std::span<const uint8_t> bytes, bool in_pairs, char ***out) {
    std::vector<std::string_view> items;
    std::string_view rest(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    while (!rest.empty()) {
        std::size_t end = std::min(rest.find('\0'), rest.size());
        items.push_back(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (items.size() > kAfcMaxListEntries) {
            return AFC_E_TOO_MUCH_DATA;
        }
    }
    if (in_pairs && items.size() % 2 != 0) {
        return AFC_E_NOT_ENOUGH_DATA;  // a name without its value
    }
    char **list = static_cast<char **>(std::calloc(items.size() + 1, sizeof(char *)));
    if (!list) {
        return AFC_E_NO_MEM;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        list[i] = strndup(items[i].data(), items[i].size());
        if (!list[i]) {
            afc_dictionary_free(list);
            return AFC_E_NO_MEM;
        }
    }
    *out = list;
    return AFC_E_SUCCESS;
}

afc_error_t list_request(afc_client_t client, AfcOperation operation, const char *path,
                         bool in_pairs, char ***out) {
    if (!out) {
        return AFC_E_INVALID_ARG;
    }
    *out = nullptr;
    Reply reply;
    if (afc_error_t e = path_request(client, operation, path, AfcOperation::kData, &reply)) {
        return e;
    }
    return make_string_list(reply.payload, in_pairs, out);
}

bool valid_open_mode(afc_file_mode_t mode) {
    return mode >= AFC_FOPEN_RDONLY && mode <= AFC_FOPEN_RDAPPEND;
}

bool valid_lock_operation(afc_lock_op_t operation) {
    return operation == AFC_LOCK_SH || operation == AFC_LOCK_EX || operation == AFC_LOCK_UN;
}

}  // namespace

afc_error_t afc_client_new_on(std::unique_ptr<Connection> connection, std::string name,
                              int reply_ms, afc_client_t *client) {
    if (!connection || !client) {
        return AFC_E_INVALID_ARG;
    }
    auto made = new afc_client_private;
    made->connection = std::move(connection);
    made->name = std::move(name);
    made->reply_ms = reply_ms;
    *client = made;
    return AFC_E_SUCCESS;
}

}  // namespace libtarvo

using libtarvo::AfcOperation;

afc_error_t afc_client_new(tarvo_t device, lockdownd_service_descriptor_t service,
                           afc_client_t *client) {
    if (!device || !service || !client) {
        return AFC_E_INVALID_ARG;
    }
    std::unique_ptr<libtarvo::Connection> connection;
    if (libtarvo::Status s = libtarvo::service_connect(device, service, &connection);
        s != libtarvo::Status::kOk) {
        return s == libtarvo::Status::kInvalidArg ? AFC_E_INVALID_ARG : AFC_E_MUX_ERROR;
    }
    std::string name = service->identifier ? service->identifier : libtarvo::kServiceName;
    return libtarvo::afc_client_new_on(std::move(connection), std::move(name),
                                       libtarvo::kAfcDefaultReplyMs, client);
}

afc_error_t afc_client_free(afc_client_t client) {
    if (!client) {
        return AFC_E_INVALID_ARG;
    }
    delete client;
    return AFC_E_SUCCESS;
}

afc_error_t afc_file_open(afc_client_t client, const char *filename, afc_file_mode_t file_mode,
                          uint64_t *handle) {
    if (!client || !filename || !handle || !libtarvo::valid_open_mode(file_mode)) {
        return AFC_E_INVALID_ARG;
    }
    *handle = 0;
    std::vector<uint8_t> arguments;
    libtarvo::append_afc_u64(static_cast<uint64_t>(file_mode), &arguments);
    std::vector<uint8_t> path = libtarvo::path_argument(filename);
    arguments.insert(arguments.end(), path.begin(), path.end());
    libtarvo::Reply reply;
    std::lock_guard<std::mutex> lock(client->mutex);
    if (afc_error_t e = libtarvo::exchange(client, AfcOperation::kFileOpen, arguments, {},
                                           AfcOperation::kFileOpenResult, &reply)) {
        return e;
    }
    return libtarvo::reply_u64(reply, handle) ? AFC_E_SUCCESS : AFC_E_NOT_ENOUGH_DATA;
}

afc_error_t afc_file_close(afc_client_t client, uint64_t handle) {
    if (!client) {
        return AFC_E_INVALID_ARG;
    }
    std::vector<uint8_t> arguments;
    libtarvo::append_afc_u64(handle, &arguments);
    libtarvo::Reply reply;
    std::lock_guard<std::mutex> lock(client->mutex);
    return libtarvo::exchange(client, AfcOperation::kFileClose, arguments, {},
                              AfcOperation::kStatus, &reply);
}

afc_error_t afc_file_lock(afc_client_t client, uint64_t handle, afc_lock_op_t operation) {
    if (!client || !libtarvo::valid_lock_operation(operation)) {
        return AFC_E_INVALID_ARG;
    }
    std::vector<uint8_t> arguments;
    libtarvo::append_afc_u64(handle, &arguments);
    libtarvo::append_afc_u64(static_cast<uint64_t>(operation), &arguments);
    libtarvo::Reply reply;
    std::lock_guard<std::mutex> lock(client->mutex);
    return libtarvo::exchange(client, AfcOperation::kFileLock, arguments, {}, AfcOperation::kStatus,
                              &reply);
}

afc_error_t afc_file_read(afc_client_t client, uint64_t handle, char *data, uint32_t length,
                          uint32_t *bytes_read) {
    if (bytes_read) {
        *bytes_read = 0;
    }
    if (!client || !bytes_read || (!data && length > 0)) {
        return AFC_E_INVALID_ARG;
    }
    std::lock_guard<std::mutex> lock(client->mutex);
    uint32_t done = 0;
    while (done < length) {
        const uint32_t chunk =
            static_cast<uint32_t>(std::min<std::size_t>(length - done, libtarvo::kAfcIoChunk));
        std::vector<uint8_t> arguments;
        libtarvo::append_afc_u64(handle, &arguments);
        libtarvo::append_afc_u64(chunk, &arguments);
        libtarvo::Reply reply;
        std::span<uint8_t> into(reinterpret_cast<uint8_t *>(data) + done, chunk);
        afc_error_t e = libtarvo::exchange(client, AfcOperation::kFileRead, arguments, {},
                                           AfcOperation::kData, &reply, into);
        if (e != AFC_E_SUCCESS) {
            *bytes_read = done;
            return e;
        }
        done += static_cast<uint32_t>(reply.payload_size);
        if (reply.payload_size < chunk) {
            break;  // the end of the file
        }
    }
    *bytes_read = done;
    return AFC_E_SUCCESS;
}

afc_error_t afc_file_write(afc_client_t client, uint64_t handle, const char *data, uint32_t length,
                           uint32_t *bytes_written) {
    if (bytes_written) {
        *bytes_written = 0;
    }
    if (!client || (!data && length > 0)) {
        return AFC_E_INVALID_ARG;
    }
    std::vector<uint8_t> arguments;
    libtarvo::append_afc_u64(handle, &arguments);
    std::lock_guard<std::mutex> lock(client->mutex);
    uint32_t done = 0;
    while (done < length) {
        const uint32_t chunk =
            static_cast<uint32_t>(std::min<std::size_t>(length - done, libtarvo::kAfcIoChunk));
        std::span<const uint8_t> piece(reinterpret_cast<const uint8_t *>(data) + done, chunk);
        libtarvo::Reply reply;
        afc_error_t e = libtarvo::exchange(client, AfcOperation::kFileWrite, arguments, piece,
                                           AfcOperation::kStatus, &reply);
        if (e != AFC_E_SUCCESS) {
            if (bytes_written) {
                *bytes_written = done;
            }
            return e;
        }
        done += chunk;
    }
    if (bytes_written) {
        *bytes_written = done;
    }
    return AFC_E_SUCCESS;
}

afc_error_t afc_get_file_info(afc_client_t client, const char *path, char ***file_information) {
    return libtarvo::list_request(client, AfcOperation::kGetFileInfo, path, true, file_information);
}

afc_error_t afc_read_directory(afc_client_t client, const char *path,
                               char ***directory_information) {
    return libtarvo::list_request(client, AfcOperation::kReadDirectory, path, false,
                                  directory_information);
}

afc_error_t afc_dictionary_free(char **dictionary) {
    if (!dictionary) {
        return AFC_E_INVALID_ARG;
    }
    for (char **item = dictionary; *item; ++item) {
        std::free(*item);
    }
    std::free(dictionary);
    return AFC_E_SUCCESS;
}

afc_error_t afc_make_directory(afc_client_t client, const char *path) {
    libtarvo::Reply reply;
    return libtarvo::path_request(client, AfcOperation::kMakeDirectory, path, AfcOperation::kStatus,
                                  &reply);
}

afc_error_t afc_remove_path(afc_client_t client, const char *path) {
    libtarvo::Reply reply;
    return libtarvo::path_request(client, AfcOperation::kRemovePath, path, AfcOperation::kStatus,
                                  &reply);
}
