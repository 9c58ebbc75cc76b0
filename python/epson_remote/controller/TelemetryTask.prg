' TelemetryTask.prg - the telemetry stream that epson_remote's EthernetReceiveInterface reads.
'
' Runs as a Background Task: it listens on TCP/IP port #201 (set to port 2000, terminator CR),
' waits for the PC to connect, then writes one sample line every cycle and a status line every
' 25 cycles until the connection breaks; then it waits for the next connection.
'
'   sample:  X=..;Y=..;Z=..;U=..;V=..;W=..;J1agl=..;J2agl=..;J3agl=..;J4agl=..;J5agl=..;J6agl=..
'   status:  STAT=..;SYSERR=..;CTRLDEV=..;ROBOTINFO=..;CTRLINFO=..
'
' Each Print ends its line with the port's terminator (CR). Keep the key names exactly as they
' are: the receive interface compares them case-sensitively.

' The controller's TCP/IP port (201 to 216) that the task writes to.
#define TELEMETRY_PORT 201
' Seconds between samples: 0.01 gives about 100 samples per second.
#define CYCLE_S 0.01
' Samples between status lines: 25 gives 4 status lines per second at 100 samples per second.
#define STATUS_EVERY 25

Function TelemetryTask
    Long cycle
    String sample$, status$

    ' Port #201 as a TCP/IP server on port 2000 with CR as terminator. The address is the PC's
    ' (the peer allowed to connect). The same settings can be made in the controller's TCP/IP
    ' configuration page instead of here.
    SetNet #TELEMETRY_PORT, "192.168.0.100", 2000, CR, NONE, 0

    OnErr GoTo Broken

Listen:
    OpenNet #TELEMETRY_PORT As Server
    WaitNet #TELEMETRY_PORT
    cycle = 0
    Do
        ' The pose of the current Tool in native units (mm, degrees), then the joint angles.
        sample$ = "X=" + Str$(CX(Here)) + ";Y=" + Str$(CY(Here)) + ";Z=" + Str$(CZ(Here))
        sample$ = sample$ + ";U=" + Str$(CU(Here)) + ";V=" + Str$(CV(Here)) + ";W=" + Str$(CW(Here))
        sample$ = sample$ + ";J1agl=" + Str$(Agl(1)) + ";J2agl=" + Str$(Agl(2))
        sample$ = sample$ + ";J3agl=" + Str$(Agl(3)) + ";J4agl=" + Str$(Agl(4))
        sample$ = sample$ + ";J5agl=" + Str$(Agl(5)) + ";J6agl=" + Str$(Agl(6))
        Print #TELEMETRY_PORT, sample$

        If cycle = 0 Then
            status$ = "STAT=" + Str$(Stat(0)) + ";SYSERR=" + Str$(SysErr)
            status$ = status$ + ";CTRLDEV=" + Str$(CtrlDev) + ";ROBOTINFO=" + Str$(RobotInfo(0))
            status$ = status$ + ";CTRLINFO=" + Str$(CtrlInfo(1))
            Print #TELEMETRY_PORT, status$
        EndIf

        cycle = (cycle + 1) Mod STATUS_EVERY
        Wait CYCLE_S
    Loop

Broken:
    ' The PC went away (or the port failed): close the port and wait for the next connection.
    CloseNet #TELEMETRY_PORT
    EResume Listen
Fend
