// Peer for the speed comparison: htmlparser2 tokenizing the file, fed in the
// same chunks as the filter. Prints the bytes, the tags seen and the seconds
// spent, as JSON.
const fs = require("fs");
const { Parser } = require("htmlparser2");

const [file, chunkText] = process.argv.slice(2);
const chunk = Number(chunkText || 8192);
const data = fs.readFileSync(file);
const text = data.toString("latin1");
let tags = 0;
const began = process.hrtime.bigint();
const parser = new Parser({
  onopentag() {
    tags++;
  },
});
for (let at = 0; at < text.length; at += chunk) parser.write(text.slice(at, at + chunk));
parser.end();
const seconds = Number(process.hrtime.bigint() - began) / 1e9;
console.log(JSON.stringify({ bytes: data.length, tags, seconds }));
