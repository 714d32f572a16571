/* The C interface from plain C: discover the cameras by broadcast, read a file over TFTP and
 * fetch a page over HTTP. Built by any C compiler against the installed library (or the DLL).
 * Defaults stay on loopback, where the simulators answer:
 *   qxnet-c-consumer DISCOVERY_PORT TFTP_ADDRESS TFTP_PORT FILE HTTP_ADDRESS [PATH]
 * (broadcast to 127.255.255.255; qxcam-sim's first camera serves TFTP at 127.0.1.1). Exit status 0
 * when all three worked. */
#include <stdio.h>
#include <stdlib.h>

#include <qxnet/c/qxnet.h>

static int32_t print_camera(const qxnet_camera* camera, void* context) {
    unsigned* count = (unsigned*)context;
    printf("camera %s at %u.%u.%u.%u, firmware %u\n", camera->mac_text,
           (unsigned)(camera->address >> 24), (unsigned)(camera->address >> 16 & 0xFF),
           (unsigned)(camera->address >> 8 & 0xFF), (unsigned)(camera->address & 0xFF),
           (unsigned)camera->firmware);
    ++*count;
    return 0;
}

static int32_t count_body(const uint8_t* data, uint32_t length, void* context) {
    (void)data;
    *(uint64_t*)context += length;
    return 0;
}

/* Prints the failure with the handle's own text. */
static void report(const char* what, qxnet_result result, const char* text) {
    fprintf(stderr, "%s failed (0x%08lx): %s\n", what, (unsigned long)result, text);
}

int main(int argc, char** argv) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (argc < 6 || sscanf(argv[2], "%u.%u.%u.%u", &a, &b, &c, &d) != 4 || a > 255 || b > 255 ||
        c > 255 || d > 255) {
        fprintf(stderr,
                "usage: %s DISCOVERY_PORT TFTP_ADDRESS TFTP_PORT FILE HTTP_ADDRESS [PATH]\n",
                argv[0]);
        return 2;
    }
    const uint16_t discoveryPort = (uint16_t)atoi(argv[1]);
    const uint32_t tftpAddress = (uint32_t)a << 24 | (uint32_t)b << 16 | (uint32_t)c << 8 | d;
    const uint16_t tftpPort = (uint16_t)atoi(argv[3]);
    const char* fileName = argv[4];
    const char* webHost = argv[5];
    const char* path = argc > 6 ? argv[6] : "/index.html";
    char text[1024] = "";
    int status = 0;

    printf("library %lu, header %lu\n", (unsigned long)qxnet_version(),
           (unsigned long)QXNET_VERSION);
    if (qxnet_startup() != QXNET_OK) {
        fprintf(stderr, "the socket layer did not start\n");
        return 2;
    }
    qxnet_lock* lock = NULL;
    qxnet_tftp* tftp = NULL;
    if (qxnet_lock_create(&lock) != QXNET_OK ||
        qxnet_tftp_create(lock, 0, 1, 3, &tftp) != QXNET_OK) {
        fprintf(stderr, "out of memory\n");
        return 2;
    }

    unsigned cameras = 0;
    qxnet_result result = qxnet_tftp_open(tftp, 0x7FFFFFFFu, discoveryPort);
    if (result == QXNET_OK) {
        result = qxnet_tftp_discover(tftp, NULL, 0, print_camera, &cameras);
    }
    if (result != QXNET_OK) {
        qxnet_tftp_last_error(tftp, text, sizeof text, NULL);
        report("discovery", result, text);
        status = 1;
    }
    qxnet_tftp_close(tftp);

    /* First the size alone, then the file into a buffer of that size. */
    uint64_t length = 0;
    result = qxnet_tftp_open(tftp, tftpAddress, tftpPort);
    if (result == QXNET_OK) {
        result = qxnet_tftp_read(tftp, fileName, NULL, 0, &length, NULL, NULL);
    }
    if (result == QXNET_E_BUFFER_TOO_SMALL) {
        uint8_t* file = (uint8_t*)malloc(length != 0 ? (size_t)length : 1);
        uint64_t size = length;
        result = file != NULL ? qxnet_tftp_read(tftp, fileName, file, size, &length, NULL, NULL)
                              : QXNET_E_UNEXPECTED;
        free(file);
    }
    if (result == QXNET_OK) {
        printf("%s: %llu bytes\n", fileName, (unsigned long long)length);
    } else {
        qxnet_tftp_last_error(tftp, text, sizeof text, NULL);
        report("file read", result, text);
        status = 1;
    }
    qxnet_tftp_destroy(tftp);

    qxnet_http* http = NULL;
    uint64_t body = 0;
    uint32_t server = 0;
    result = qxnet_http_create(lock, webHost, 1, &http);
    if (result == QXNET_OK) {
        result = qxnet_http_get(http, path, NULL, NULL, count_body, &body);
        qxnet_http_status(http, NULL, &server);
        if (result != QXNET_OK) {
            qxnet_http_last_error(http, text, sizeof text, NULL);
        }
        qxnet_http_destroy(http);
    }
    if (result == QXNET_OK && server == 200) {
        printf("http://%s%s: status %lu, %llu bytes\n", webHost, path, (unsigned long)server,
               (unsigned long long)body);
    } else {
        report("page fetch", result != QXNET_OK ? result : server, text);
        status = 1;
    }

    qxnet_lock_destroy(lock);
    qxnet_cleanup();
    printf("%u camera(s)\n", cameras);
    return status == 0 && cameras > 0 ? 0 : 1;
}
