// What a script sees of the control when it creates the control itself.
// A script host hands out the bare object: nothing calls InitNew or Load on
// it, so the control refuses every call with E_UNEXPECTED (0x8000FFFF). A
// page gets a working control from an <object> element, whose host
// initialises it before any script runs.
// cscript exits 0 whatever the script does: run_jscript.sh checks the lines
// printed, the last one above all.
var E_UNEXPECTED = 0x8000FFFF;
var failures = 0;

function unsigned(n) { return n < 0 ? n + 0x100000000 : n; }
function hex(n) { return "0x" + unsigned(n).toString(16).toUpperCase(); }

// Runs call, which must be refused with E_UNEXPECTED, and shows the outcome.
function expectRefused(label, call) {
  try {
    var result = call();
    WScript.Echo(label + " returned " + result + ", expected a refusal");
    failures++;
  } catch (e) {
    WScript.Echo(label + " refused: " + hex(e.number) + (e.description ? " (" + e.description + ")" : ""));
    if (unsigned(e.number) != E_UNEXPECTED) failures++;
  }
}

var ctl = new ActiveXObject("KELOCAACTIVEX.KeloCAActiveXCtrl.1");
WScript.Echo("created: " + typeof ctl);

expectRefused("ConnectToken()", function () { return ctl.ConnectToken(); });
expectRefused("RetrieveAllTokenSerial(0)", function () { return ctl.RetrieveAllTokenSerial(0); });
expectRefused("VerifyCertCRL(0, 0, \"\")", function () { return ctl.VerifyCertCRL(0, 0, ""); });
expectRefused("SignByCSP(0, 9, \"\", 0, \"00\")", function () { return ctl.SignByCSP(0, 9, "", 0, "00"); });
// Even an unknown name: before initialisation no name is looked up.
expectRefused("NoSuchMethod()", function () { return ctl.NoSuchMethod(); });

WScript.Echo(failures == 0 ? "SCRIPT CHECKS PASSED" : "SCRIPT CHECKS FAILED: " + failures);
