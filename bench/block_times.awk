# Reads device-sim's --trace (standard error) and prints, one a line, the
# time in ms from the start of each block request to the start of the next
# request: the update's pace per block as the device saw it. A request's
# start is when its first bytes came off the line (the tool's write).
/ ms  in / {
    # "device-sim:   1234.567 ms  in  1035 bytes, the last arriving at 1333.221 ms"
    if (request_start == "")
        request_start = $2
}
/request: / {
    if (block_start != "")
        print request_start - block_start
    block_start = $0 ~ /request: block #/ ? request_start : ""
    request_start = ""
}
