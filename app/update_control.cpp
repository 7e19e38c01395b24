#include "app/update_control.h"

#include "report/report.h"
#include "serial/port.h"

bool start_update(UpdateJob &job, const char *path)
{
    job.baud = BAUD_RATE;
    job.port_path = path;
    trace(" . Opening serial port %s at %ld baud\n", job.port_path, static_cast<long>(job.baud));
    if (job.port != INVALID_PORT) {
        close_port(job.port);
        job.port = INVALID_PORT;
    }
    job.port = open_port(job.port_path);
    if (job.port == INVALID_PORT)
        return false;
    configure_port(job.port, job.baud, READ_INTERVAL_MS);
    job.state = STATE_START;
    set_status("Contacting Device...");
    return true;
}

bool finish_update(UpdateJob &job)
{
    if (job.state != STATE_DONE)
        return false;
    set_status("Programming Completed");
    close_port(job.port);
    job.port = INVALID_PORT;
    return true;
}
