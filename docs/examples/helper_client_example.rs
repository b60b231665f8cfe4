// The client library from Rust: the declarations of docs/client.md, and a ping, a start with a
// new session and a stop against the installed Helper.
// Usage: helper_client_example_rs <expected Core SHA-256>. Exits 0 when every step succeeded.
use std::ffi::{c_void, CStr, CString};
use std::os::raw::{c_char, c_int, c_uint};

#[allow(non_camel_case_types)]
type drovane_hc_result = c_int; // a C enum: an int, and later versions may add values
const DROVANE_HC_OK: drovane_hc_result = 0;

#[repr(C)]
struct DrovaneHcReply {
    size: u32,
    status: c_uint,
    protocol: *const c_char,
    text: *const c_char,
    error_code: *const c_char,
    error_message: *const c_char,
    has_os_error: c_int,
    os_error: i32,
    session_id: *const c_char,
    pid: u32,
    stopped: c_int,
    reason: *const c_char,
    dropped: u64,
    restarted: c_int,
}

#[repr(C)]
struct DrovaneHcSession {
    size: u32,
    session_id: [c_char; 33],
    address: [c_char; 64],
}

#[repr(C)]
struct DrovaneHc {
    _private: [u8; 0],
}

// __cdecl, which is "C" on x86_64 and on 32-bit x86 alike.
#[link(name = "drovane_helper_client")]
extern "C" {
    fn drovane_hc_open(client: *mut *mut DrovaneHc) -> drovane_hc_result;
    fn drovane_hc_close(client: *mut DrovaneHc);
    fn drovane_hc_ping(client: *mut DrovaneHc, core_sha256: *const c_char,
                       reply: *mut DrovaneHcReply) -> drovane_hc_result;
    fn drovane_hc_new_session(client: *mut DrovaneHc, session: *mut DrovaneHcSession)
        -> drovane_hc_result;
    fn drovane_hc_start(client: *mut DrovaneHc, address: *const c_char, session_id: *const c_char,
                        reply: *mut DrovaneHcReply) -> drovane_hc_result;
    fn drovane_hc_connect_core(client: *mut DrovaneHc, address: *const c_char, pid: u32,
                               timeout_ms: u32, pipe: *mut *mut c_void) -> drovane_hc_result;
    fn drovane_hc_stop(client: *mut DrovaneHc, session_id: *const c_char,
                       reply: *mut DrovaneHcReply) -> drovane_hc_result;
    fn drovane_hc_error_text(client: *const DrovaneHc) -> *const c_char;
    fn drovane_hc_result_name(result: drovane_hc_result) -> *const c_char;
}

#[link(name = "kernel32")]
extern "system" {
    fn CloseHandle(handle: *mut c_void) -> c_int;
}

// The handle, closed when it goes out of scope.
struct Helper(*mut DrovaneHc);

impl Drop for Helper {
    fn drop(&mut self) {
        unsafe { drovane_hc_close(self.0) }
    }
}

impl Helper {
    fn open() -> Result<Helper, String> {
        let mut client = std::ptr::null_mut();
        let result = unsafe { drovane_hc_open(&mut client) };
        let helper = Helper(client); // closed on every path
        helper.check("open", result)?;
        Ok(helper)
    }

    // The handle owns the strings: copy them out before the next call.
    fn text(pointer: *const c_char) -> String {
        if pointer.is_null() {
            return String::new();
        }
        unsafe { CStr::from_ptr(pointer) }.to_string_lossy().into_owned()
    }

    fn check(&self, step: &str, result: drovane_hc_result) -> Result<(), String> {
        if result == DROVANE_HC_OK {
            return Ok(());
        }
        let name = Helper::text(unsafe { drovane_hc_result_name(result) });
        let why = Helper::text(unsafe { drovane_hc_error_text(self.0) });
        Err(format!("{}: {}: {}", step, name, why))
    }
}

fn new_reply() -> DrovaneHcReply {
    let mut reply: DrovaneHcReply = unsafe { std::mem::zeroed() };
    reply.size = std::mem::size_of::<DrovaneHcReply>() as u32;
    reply
}

fn run(digest: &str) -> Result<(), String> {
    let helper = Helper::open()?;
    let digest = CString::new(digest).map_err(|_| "a digest with a NUL".to_string())?;
    let mut reply = new_reply();
    helper.check("ping", unsafe { drovane_hc_ping(helper.0, digest.as_ptr(), &mut reply) })?;
    println!("Helper: {} (protocol {})", Helper::text(reply.text), Helper::text(reply.protocol));

    let mut session: DrovaneHcSession = unsafe { std::mem::zeroed() };
    session.size = std::mem::size_of::<DrovaneHcSession>() as u32;
    helper.check("new session", unsafe { drovane_hc_new_session(helper.0, &mut session) })?;
    let address = session.address.as_ptr();
    let session_id = session.session_id.as_ptr();
    helper.check("start", unsafe { drovane_hc_start(helper.0, address, session_id, &mut reply) })?;
    let pid = reply.pid;
    println!("Core started, pid {}", pid);

    let mut pipe = std::ptr::null_mut();
    let connected = unsafe { drovane_hc_connect_core(helper.0, address, pid, 10000, &mut pipe) };
    if connected == DROVANE_HC_OK {
        println!("connected to the Core's pipe");
        unsafe { CloseHandle(pipe) };
    }
    let stopped = unsafe { drovane_hc_stop(helper.0, session_id, &mut reply) };
    helper.check("connect to the Core", connected)?;
    helper.check("stop", stopped)?;
    println!("Core {}", if reply.stopped == 1 { "stopped" } else { "was not running" });
    Ok(())
}

fn main() {
    let args: Vec<String> = std::env::args().collect();
    if args.len() != 2 {
        eprintln!("usage: helper_client_example_rs <expected Core SHA-256>");
        std::process::exit(2);
    }
    if let Err(why) = run(&args[1]) {
        eprintln!("{}", why);
        std::process::exit(1);
    }
}
