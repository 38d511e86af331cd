// Peer for the speed comparison: lol-html (the html-rewriter-wasm build)
// rewriting every IMG of a banner width, fed the file in the same chunks as
// the filter. Prints the bytes out and the seconds spent, as JSON.
const fs = require("fs");
const { HTMLRewriter } = require("html-rewriter-wasm");

async function main() {
  const [file, chunkText] = process.argv.slice(2);
  const chunk = Number(chunkText || 8192);
  const data = fs.readFileSync(file);
  let out = 0;
  const began = process.hrtime.bigint();
  const rewriter = new HTMLRewriter((bytes) => {
    out += bytes.length;
  });
  rewriter.on("img", {
    element(element) {
      if (element.getAttribute("width") === "468") element.replace("[AD]");
    },
  });
  try {
    for (let at = 0; at < data.length; at += chunk) await rewriter.write(data.subarray(at, at + chunk));
    await rewriter.end();
  } finally {
    rewriter.free();
  }
  const seconds = Number(process.hrtime.bigint() - began) / 1e9;
  console.log(JSON.stringify({ bytes: data.length, out, seconds }));
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
