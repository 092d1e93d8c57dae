// quelt: send one line of text to an instrument port behind a Modbus RTU
// slave and report how much of it the port queued.
//
// The text and a carriage return travel as a transfer block written to the
// port's write block; the port's status register is read back in the same
// Read/Write Multiple Registers request (function 23), so the status word
// describes this very write.

#include <errno.h>
#include <modbus/modbus.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// Longest text accepted on the command line, in bytes.
#define TEXT_MAX 100
// Character area of the transfer block: 64 registers of two bytes.
#define BLOCK_BYTES 128
// A run that has not finished by then never will (see onDeadline).
#define RUN_DEADLINE_S 5

// Registers of the selected instrument port: the first register of its write
// block and its status register.
uint16_t regWR;
uint16_t regRD;

// stdout is line buffered into storage of our own, so that nothing of the
// trace is lost when the deadline cuts a run short, and stdio allocates no
// buffer on the heap.
static char stdoutBuffer[BUFSIZ];

void byteSwap16(unsigned char *p)
{
    unsigned char t = p[0];
    p[0] = p[1];
    p[1] = t;
}

static int hostIsLittleEndian(void)
{
    const uint16_t one = 1;
    return *(const unsigned char *)&one == 1;
}

// Fills the 65-register transfer block from the message and returns n, the
// byte count in register 0. Register k holds message bytes 2k-2 (high half)
// and 2k-1 (low half) whatever the host's byte order; the bytes are copied,
// never converted through char, so bytes above 0x7F arrive unchanged.
int queltBlock(const char *message, uint16_t *block)
{
    unsigned char *bytes = (unsigned char *)(block + 1);
    int n = (int)strnlen(message, BLOCK_BYTES);
    int k;

    memset(bytes, 0, BLOCK_BYTES);
    memcpy(bytes, message, (size_t)n);
    if (hostIsLittleEndian()) {
        for (k = 0; k < BLOCK_BYTES / 2; k++) {
            byteSwap16(bytes + 2 * k);
        }
    }
    block[0] = (uint16_t)n;
    return n;
}

// libmodbus has no text for exception codes 0 and 9 and would print a bare
// errno number; every other code it names.
static void printTransferError(int err)
{
    int code = err - MODBUS_ENOBASE;

    if (code == 0 || code == MODBUS_EXCEPTION_NOT_DEFINED) {
        fprintf(stderr, "ERROR Transfer failed: exception code %d, not defined by Modbus\n", code);
    } else {
        fprintf(stderr, "ERROR Transfer failed: %s\n", modbus_strerror(err));
    }
}

int queltData(modbus_t *ctx, const char *message)
{
    uint16_t block[1 + BLOCK_BYTES / 2];
    uint16_t status = 0;
    int n = queltBlock(message, block);
    int count = ((n + 1) >> 1) + 1;
    int accepted;

    // Anything but one register read means no status word arrived: print
    // none rather than a word the device never sent.
    if (modbus_write_and_read_registers(ctx, regWR, count, block, regRD, 1, &status) != 1) {
        printTransferError(errno);
        return -1;
    }

    accepted = status & 0xFF;
    printf("REG RD_ADDR      = 0x%04X\n", status);
    printf("TX_WRITE_ACCEPT = %d\n", accepted);
    printf("TX_QUEUE_FREE   = %d\n", status >> 8);
    if (accepted == n) {
        return 0;
    }
    printf("Error: queltData(...) failed.\n");
    printf("requested write of  %hu\n", (unsigned short)n);
    printf("successfully queued %d\n", accepted);
    return -1;
}

// The program's only signal handler. With link-level recovery the library
// repeats a send that fails outright (a device that hung up, EIO) without
// limit; the deadline ends such a run. Only async-signal-safe calls here.
static void onDeadline(int sig)
{
    static const char text[] = "ERROR Transfer failed: no answer from the device within 5 s\n";
    ssize_t rc;

    (void)sig;
    rc = write(STDERR_FILENO, text, sizeof text - 1);
    (void)rc;
    _exit(255);
}

static void armDeadline(void)
{
    struct sigaction sa;

    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onDeadline;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, NULL);
    alarm(RUN_DEADLINE_S);
}

static void printUsage(void)
{
    printf("QUELT compiled with libmodbus version %s on %s at %s\n\n", LIBMODBUS_VERSION_STRING, __DATE__,
           __TIME__);
    printf("Usage: quelt port inst_port 'string to write'\n");
    printf("Example:\n");
    printf("./quelt com1 0 'Howdy, modbus!'\n");
}

int main(int argc, char *argv[])
{
    char message[128];
    modbus_t *ctx;
    char *end;
    int rc;

    setvbuf(stdout, stdoutBuffer, _IOLBF, sizeof stdoutBuffer);

    if (argc < 4) {
        printUsage();
        return -1;
    }
    if (strlen(argv[3]) > TEXT_MAX) {
        fprintf(stderr, "ERROR write string should be 100 characters or less\n");
        return -1;
    }
    switch (argv[2][0]) {
    case '0':
        regWR = 902;
        regRD = 898;
        break;
    case '1':
        regWR = 1158;
        regRD = 1154;
        break;
    default:
        printf("ERROR: bad instrument port input, must be 0 or 1.\n");
        return -1;
    }

    ctx = modbus_new_rtu(argv[1], 19200, 'N', 8, 2);
    if (ctx == NULL) {
        fprintf(stderr, "Unable to allocate libmodbus context\n");
        return -1;
    }
    modbus_set_debug(ctx, 1);
    modbus_set_error_recovery(ctx, MODBUS_ERROR_RECOVERY_LINK);
    modbus_set_slave(ctx, 1);

    armDeadline();
    if (modbus_connect(ctx) == -1) {
        fprintf(stderr, "ERROR Connection failed: %s\n", modbus_strerror(errno));
        modbus_free(ctx);
        return -1;
    }
    // A frame left in the input from before this run would otherwise be
    // taken as the reply.
    modbus_flush(ctx);

    end = stpcpy(message, argv[3]);
    end[0] = '\r';
    end[1] = '\0';
    rc = queltData(ctx, message);

    modbus_close(ctx);
    modbus_free(ctx);
    return rc == 0 ? 0 : -1;
}
